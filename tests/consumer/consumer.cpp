// A C++ consumer of the installed package.
#include <cstdio>
#include <string>

#include <vexsrv/version.h>
#include <vexsrvapi.h>

int main(int argc, char **argv) {
    std::int32_t value = -1, status = -1;
    char message[300] = "";
    const std::string suffix = argc > 1 ? argv[1] : "_consumer_absent";
    const std::int32_t ok = VexSrv_StartTidewell(0, ".", suffix.c_str(), &value, &status, message, sizeof message);
    std::printf("vexsrvapi %s: ok=%d status=%d message=%s\n", VEXSRV_VERSION_STRING, ok, status, message);
    if (argc > 1) return ok == 1 ? 0 : 1;
    return ok == 0 && status == 2 ? 0 : 1;
}
