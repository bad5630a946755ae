// vexsrv/vexsrv.h: the C++ layer over the vexsrvapi C functions, in one
// include. Header-only, C++20 (CMake: link vexsrvapi::cxx, which brings
// -std=c++20 and the library); see docs/cxx.md.
//
//   vexsrv::Service service(".", "_A");
//   if (auto r = service.GetTaskList(vexsrv::Order::Startup))
//       for (const auto &name : r.data) std::cout << name << '\n';
//   else
//       std::cerr << vexsrv::SourceName(r.source) << ": " << r.message << '\n';
#pragma once

#include "vexsrv/requires_cxx20.h"
#if defined(VEXSRV_CXX_LAYER_USABLE)

#include "vexsrv/discovery.h"
#include "vexsrv/fleet.h"
#include "vexsrv/result.h"
#include "vexsrv/service.h"
#include "vexsrv/task.h"

#endif // VEXSRV_CXX_LAYER_USABLE
