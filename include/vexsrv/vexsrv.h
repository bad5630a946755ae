// vexsrv/vexsrv.h: the C++ layer over the vexsrvapi C functions, in one
// include. Header-only, C++20; link the vexsrvapi library as for C callers.
//
//   vexsrv::Service service(".", "_A");
//   if (auto r = service.GetTaskList(vexsrv::Order::Startup))
//       for (const auto &name : r.data) std::cout << name << '\n';
//   else
//       std::cerr << vexsrv::SourceName(r.source) << ": " << r.message << '\n';
#pragma once

#include "vexsrv/discovery.h"
#include "vexsrv/fleet.h"
#include "vexsrv/result.h"
#include "vexsrv/service.h"
#include "vexsrv/task.h"
