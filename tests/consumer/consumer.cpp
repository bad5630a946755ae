// A C++ consumer of the installed package: through the C header alone when
// built as C++17 (CONSUMER_CXX17), else through the C++ layer as well.
#include <cstdio>
#include <string>

#include <vexsrv/version.h>
#include <vexsrvapi.h>

#if defined(CONSUMER_CXX17)
static_assert(__cplusplus == 201703L, "a C++17 caller of the C header stays at C++17");
#else
#include <vexsrv/vexsrv.h>
#endif

int main(int argc, char **argv) {
    std::int32_t value = -1, status = -1;
    char message[300] = "";
    const std::string suffix = argc > 1 ? argv[1] : "_consumer_absent";
    const std::int32_t ok = VexSrv_StartTidewell(0, ".", suffix.c_str(), &value, &status, message, sizeof message);
    std::printf("vexsrvapi %s: ok=%d status=%d message=%s\n", VEXSRV_VERSION_STRING, ok, status, message);
#if !defined(CONSUMER_CXX17)
    const auto r = vexsrv::Service(".", suffix).GetVersion();
    std::printf("C++ layer: ok=%d source=%s\n", r.ok ? 1 : 0, std::string(vexsrv::SourceName(r.source)).c_str());
    if (r.ok != (argc > 1)) return 1;
#endif
    if (argc > 1) return ok == 1 ? 0 : 1;
    return ok == 0 && status == 2 ? 0 : 1;
}
