/* A C consumer of the installed package. With a service suffix it starts the
 * database of that service on the local node; without, it expects the
 * connection message of a service that is not there. */
#include <stdio.h>
#include <string.h>

#include <vexsrvapi.h>

int main(int argc, char **argv) {
    int32_t value = -1, status = -1;
    char message[300] = "";
    if (argc > 1) {
        int32_t ok = VexSrv_StartTidewell(0, ".", argv[1], &value, &status, message, (int32_t)sizeof message);
        printf("start call: ok=%d status=%d value=%d message=%s\n", (int)ok, (int)status, (int)value, message);
        return ok == 1 && status == 0 ? 0 : 1;
    }
    int32_t ok = VexSrv_StopTidewell(0, ".", "_consumer_absent", &value, &status, message, (int32_t)sizeof message);
    printf("absent service: ok=%d status=%d\n", (int)ok, (int)status);
    return ok == 0 && status == 2 && strstr(message, "Please make sure the service is running.") ? 0 : 1;
}
