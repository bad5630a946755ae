/* A C caller: the public header compiles as C, and a call through the built
 * library reports a missing service with status 2 and the connection message. */
#include <stdio.h>
#include <string.h>

#include "vexsrvapi.h"

int main(void) {
    int32_t value = 77;
    int32_t status = 0;
    char message[300];
    const char *expected_head = "Cannot connect to service 'Kestrane Tidewell Task Service_absent_c' on node '.'\n";
    int32_t ok = VexSrv_StartTidewell(0, ".", "_absent_c", &value, &status, message, (int32_t)sizeof message);
    if (ok != 0 || status != 2 || value != 77 || strncmp(message, expected_head, strlen(expected_head)) != 0) {
        printf("unexpected: ok=%d status=%d value=%d message=%s\n", (int)ok, (int)status, (int)value, message);
        return 1;
    }
    printf("1 passed, 0 failed\n");
    return 0;
}
