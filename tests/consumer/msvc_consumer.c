/* A caller built the way Microsoft's tools build it (MSVC ABI, no C runtime)
 * and linked against vexsrvapi.lib: one undecorated and one decorated export,
 * both against a service that is not there. Exit code 0 when both calls
 * reached the library and reported the missing service. */
#include <vexsrvapi.h>

__declspec(dllimport) void __stdcall ExitProcess(unsigned code);

void __cdecl entry(void) {
    int32_t value = -1, status = -1, status2 = -1;
    char message[300];
    const int32_t ok = VexSrv_StopTidewell(0, ".", "_msvc_absent", &value, &status, message, (int32_t)sizeof message);
    const int32_t ok2 =
        VexSrv_StartTidewellFromCluster(0, ".", "_msvc_absent", &value, &status2, message, (int32_t)sizeof message);
    ExitProcess(ok == 0 && status == 2 && ok2 == 0 && status2 == 2 ? 0 : 1);
}
