// A C++17 caller of the C header: it must build at its own standard.
#include "vexsrvapi.h"

static_assert(__cplusplus == 201703L, "this caller is meant to be built as C++17");

int main() {
    std::int32_t value = 0, status = 0;
    char message[64] = "";
    return VexSrv_GetTidewellStatus(".", "_cxx17", &value, &status, message, sizeof message) == 1 ? 0 : 1;
}
