// vexsrv/requires_cxx20.h: the C++ layer (vexsrv/*.h) is written in C++20.
// Included first by each of its headers, whose bodies stand under
// VEXSRV_CXX_LAYER_USABLE, so that an older standard stops at this one clear
// message rather than at a cascade of errors from C++20 constructs. C and
// C++17 callers include vexsrvapi.h alone, which needs neither.
#pragma once

#if !defined(__cplusplus)
#error "vexsrv/*.h is the C++20 layer of vexsrvapi; C callers include vexsrvapi.h alone"
#elif (defined(_MSVC_LANG) ? _MSVC_LANG : __cplusplus) < 202002L
#error "vexsrv/*.h, the C++ layer of vexsrvapi, needs C++20: compile with -std=c++20 (MSVC: /std:c++20) or link the CMake target vexsrvapi::cxx; C++17 callers include vexsrvapi.h alone"
#else
#define VEXSRV_CXX_LAYER_USABLE 1
#endif
