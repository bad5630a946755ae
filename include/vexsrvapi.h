/*
 * vexsrvapi: client library of the Tidewell task service.
 *
 * Every operation but VexSrv_Broadcast and VexSrv_FreeCStringArray is one
 * request/reply exchange with the task service instance named by a node and
 * a service suffix (pipe "\\NODE\pipe\ZEPTAR_SUFFIX_TSK_REQ").
 *
 * Result convention, shared by all operations:
 *   - the return value (1 success, 0 failure) is the only sure sign of success;
 *   - on a completed exchange, *value and *status receive the reply's value
 *     and status words, and a non-empty reply text is copied to the message
 *     buffer; the call succeeds when the status is 0;
 *   - on a failed exchange, *status receives the system error code and the
 *     message buffer a text: for a missing pipe (code 2) the connection
 *     message "Cannot connect to service '...' on node '...'", otherwise the
 *     system's text for the code;
 *   - a local refusal sends nothing, writes neither *value nor *status and
 *     puts a fixed English message in the message buffer.
 * Texts reach the message buffer by a bounded copy: at most message_length
 * bytes, the rest zero-filled, no terminator when the text fills the buffer,
 * nothing at all for a length of 0 or less. The message buffer may be null.
 * A null value or status pointer is tolerated: that output is not written.
 *
 * Refusals common to every exchanging operation:
 *   "node name should be defined"            the node name is null
 *   "Node name and service suffix are too long for a pipe name"
 *                                            node and suffix together exceed
 *                                            488 characters
 * A null service suffix counts as the empty suffix.
 */
#ifndef VEXSRVAPI_H
#define VEXSRVAPI_H

#include <stdint.h>

#if defined(_WIN32)
#define VEXSRV_CALL __stdcall
#define VEXSRV_CDECL __cdecl
/* Exports come from the .def file; callers import through the import library. */
#define VEXSRV_API
#else
#define VEXSRV_CALL
#define VEXSRV_CDECL
#if defined(VEXSRV_BUILDING)
#define VEXSRV_API __attribute__((visibility("default")))
#else
#define VEXSRV_API
#endif
#endif

/* ---- Records shared with the caller ------------------------------------ */

/* Text fields hold NUL-terminated 8-bit strings, so at most their width minus
 * one characters; an empty text (first byte 0) counts as absent. Layout sizes
 * (864, 1300, 3604, 3608, 3612) and offsets are fixed on every platform. */
typedef struct TaskDefinition1 {
    char task_name[32];      /* 0 */
    char service_suffix[64]; /* 32; never read: the suffix argument travels */
    char command_line[128];  /* 96 */
    char text_a[128];        /* 224 */
    char text_b[128];        /* 352 */
    char text_c[128];        /* 480 */
    char text_d[128];        /* 608 */
    char text_e[128];        /* 736 */
} TaskDefinition1;

typedef struct TaskDefinition2 {
    char task_name[32];      /* 0 */
    char service_suffix[64]; /* 32 */
    char command_line[512];  /* 96 */
    char text_a[128];        /* 608 */
    char text_b[128];        /* 736 */
    char text_c[128];        /* 864 */
    char text_d[128];        /* 992 */
    char text_e[128];        /* 1120 */
    char text_f[32];         /* 1248 */
    int32_t position;        /* 1280; -1: after the last task */
    int32_t number_a;        /* 1284 */
    int32_t number_b;        /* 1288 */
    int32_t number_c;        /* 1292 */
    uint8_t byte_a;          /* 1296 */
    uint8_t byte_b;          /* 1297 */
    uint8_t byte_c;          /* 1298 */
} TaskDefinition2;

typedef struct TaskDefinition3 {
    char task_name[32];      /* 0 */
    char service_suffix[64]; /* 32 */
    char command_line[1024]; /* 96 */
    char text_a[1024];       /* 1120 */
    char text_b[128];        /* 2144 */
    char text_c[128];        /* 2272 */
    char text_d[128];        /* 2400 */
    char text_e[1024];       /* 2528 */
    char text_f[32];         /* 3552 */
    int32_t position;        /* 3584 */
    int32_t number_a;        /* 3588 */
    int32_t number_b;        /* 3592 */
    int32_t number_c;        /* 3596 */
    uint8_t byte_a;          /* 3600 */
    uint8_t byte_b;          /* 3601 */
    uint8_t byte_c;          /* 3602 */
} TaskDefinition3;

typedef struct TaskDefinition4 {
    char task_name[32];      /* 0 */
    char service_suffix[64]; /* 32 */
    char command_line[1024]; /* 96 */
    char text_a[1024];       /* 1120 */
    char text_b[128];        /* 2144 */
    char text_c[128];        /* 2272 */
    char text_d[128];        /* 2400 */
    char text_e[1024];       /* 2528 */
    char text_f[32];         /* 3552 */
    int32_t position;        /* 3584 */
    int32_t number_a;        /* 3588 */
    int32_t number_b;        /* 3592 */
    int32_t number_c;        /* 3596 */
    int32_t affinity;        /* 3600; processor affinity mask */
    uint8_t byte_a;          /* 3604 */
    uint8_t byte_b;          /* 3605 */
    uint8_t byte_c;          /* 3606 */
} TaskDefinition4;

typedef struct TaskDefinition5 {
    char task_name[32];      /* 0 */
    char service_suffix[64]; /* 32 */
    char command_line[1024]; /* 96 */
    char text_a[1024];       /* 1120 */
    char text_b[128];        /* 2144 */
    char text_c[128];        /* 2272 */
    char text_d[128];        /* 2400 */
    char text_e[1024];       /* 2528 */
    char text_f[32];         /* 3552 */
    int32_t position;        /* 3584 */
    int32_t number_a;        /* 3588 */
    int32_t number_b;        /* 3592 */
    int32_t number_c;        /* 3596 */
    int32_t affinity;        /* 3600 */
    int32_t priority;        /* 3604; process priority */
    uint8_t byte_a;          /* 3608 */
    uint8_t byte_b;          /* 3609 */
    uint8_t byte_c;          /* 3610 */
} TaskDefinition5;

/* One entry of the snapshot list, passed to VexSrv_UpdateSnapshotList. */
typedef struct SnapshotListEntry {
    char name[1024];  /* 0; at most 1023 characters */
    uint8_t option_a; /* 1024 */
    uint8_t option_b; /* 1025 */
    uint8_t option_c; /* 1026 */
} SnapshotListEntry;

/* Answer handler of VexSrv_Broadcast: three strings of one answer (valid only
 * during the call) and the caller's user value. Plain C calling convention. */
typedef void(VEXSRV_CDECL *BrowseCallback)(const char *first, const char *second, const char *third,
                                           int32_t user_value);

#ifdef __cplusplus
#include <stddef.h>

#include <cstring>
#include <new>
#include <stdexcept>

/* ---- Strings and string arrays at the boundary of the list operations ----
 *
 * Both classes keep plain data (pointers and 32-bit counts) and define every
 * member inline, so that a caller built with another compiler reads them the
 * same way. Memory is allocated and freed in one module at a time:
 *   - a CString allocates its text in the module that constructs or copies it
 *     and frees it in the module that destroys it: copy a string out of an
 *     array, never assign into an array's element (elements are read-only);
 *   - a CStringArray grows through a virtual member, so an array always grows
 *     with the allocator of the module that created it;
 *   - arrays returned by the library are given back with
 *     VexSrv_FreeCStringArray, which deletes them through the virtual
 *     destructor inside the library. An array the caller builds itself (for
 *     VexSrv_SetRegTaskListStartupOrders) stays the caller's: the library only
 *     reads it, never changes or frees it.
 * Access outside an array throws std::invalid_argument; exhaustion of memory
 * throws std::bad_alloc. */

/* An 8-bit text with its length; the empty text holds no memory. */
class CString {
  public:
    CString() noexcept : text_(nullptr), length_(0) {}
    /* A copy of a NUL-terminated text; null gives the empty text. */
    CString(const char *text) : text_(nullptr), length_(0) { Assign(text, text != nullptr ? std::strlen(text) : 0); }
    /* A copy of the first length bytes of text, followed by a NUL. */
    CString(const char *text, int32_t length) : text_(nullptr), length_(0) {
        if (length < 0 || (text == nullptr && length > 0)) throw std::invalid_argument("CString text is invalid");
        Assign(text, static_cast<size_t>(length));
    }
    CString(const CString &other) : text_(nullptr), length_(0) {
        Assign(other.text_, static_cast<size_t>(other.length_));
    }
    CString &operator=(const CString &other) {
        if (this != &other) {
            CString copy(other);
            Swap(copy);
        }
        return *this;
    }
    ~CString() { delete[] text_; }

    bool IsEmpty() const noexcept { return length_ == 0; }
    /* Length in bytes, without the terminating NUL. */
    int32_t GetLength() const noexcept { return length_; }
    /* The NUL-terminated text; never null. */
    const char *GetString() const noexcept { return text_ != nullptr ? text_ : ""; }

  private:
    friend class CStringArray;

    void Assign(const char *text, size_t length) {
        if (length == 0) return;
        if (length > static_cast<size_t>(INT32_MAX) - 1) throw std::bad_alloc();
        text_ = new char[length + 1];
        std::memcpy(text_, text, length);
        text_[length] = 0;
        length_ = static_cast<int32_t>(length);
    }
    void Swap(CString &other) noexcept {
        char *t = text_;
        text_ = other.text_;
        other.text_ = t;
        int32_t n = length_;
        length_ = other.length_;
        other.length_ = n;
    }

    char *text_;
    int32_t length_;
};

/* A growable array of CString. Elements are read through GetAt and operator[]
 * (index 0 to GetSize() - 1) and appended with Add. */
class CStringArray {
  public:
    CStringArray() noexcept : items_(nullptr), size_(0), capacity_(0) {}
    CStringArray(const CStringArray &) = delete;
    CStringArray &operator=(const CStringArray &) = delete;

  private:
    /* Declared ahead of the destructor so that it takes the first slot of the
     * virtual table under every compiler's layout. Through the table it runs
     * in the module that created the array, with that module's allocator. */
    virtual int32_t AppendCopy(const char *text, int32_t length) {
        CString item(text, length);
        if (size_ == capacity_) Grow();
        items_[size_].Swap(item);
        return size_++;
    }

  public:
    virtual ~CStringArray() { delete[] items_; }

    /* Appends a copy of text; returns the new element's index, the size before. */
    int32_t Add(const CString &text) { return AppendCopy(text.GetString(), text.GetLength()); }
    int32_t Add(const char *text) {
        const size_t length = text != nullptr ? std::strlen(text) : 0;
        if (length > static_cast<size_t>(INT32_MAX) - 1) throw std::bad_alloc();
        return AppendCopy(text, static_cast<int32_t>(length));
    }

    int32_t GetSize() const noexcept { return size_; }
    bool IsEmpty() const noexcept { return size_ == 0; }
    const CString &GetAt(int32_t index) const {
        if (index < 0 || index >= size_) throw std::invalid_argument("CStringArray index out of range");
        return items_[index];
    }
    const CString &operator[](int32_t index) const { return GetAt(index); }

  protected:
    /* For the module that creates an array and knows how many strings it will
     * hold: element storage for capacity strings in one allocation (only
     * while the array has none), and the adoption of a string made in the
     * same module, which leaves text empty instead of copying it. */
    void Reserve(int32_t capacity) {
        if (items_ != nullptr || capacity <= 0) return;
        items_ = new CString[static_cast<size_t>(capacity)];
        capacity_ = capacity;
    }
    int32_t Adopt(CString &text) {
        if (size_ == capacity_) Grow();
        items_[size_].Swap(text);
        return size_++;
    }

  private:
    void Grow() {
        if (capacity_ > INT32_MAX / 2) throw std::bad_alloc();
        const int32_t capacity = capacity_ != 0 ? capacity_ * 2 : 8;
        CString *items = new CString[static_cast<size_t>(capacity)];
        for (int32_t i = 0; i < size_; ++i) items[i].Swap(items_[i]);
        delete[] items_;
        items_ = items;
        capacity_ = capacity;
    }

    CString *items_;
    int32_t size_;
    int32_t capacity_;
};

extern "C" {
#else
/* A list returned by the library; read it from C++ through the class of the
 * same name, and give it back with VexSrv_FreeCStringArray. */
typedef struct CStringArray CStringArray;
#endif

/* ---- Database start and stop -------------------------------------------
 * Each sends its code word with lock_key at request offset 8 and reads
 * status, value and text of a 536-byte reply. */

/* Starts the database (code 1). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTidewell(int32_t lock_key, const char *node, const char *suffix,
                                                    int32_t *value, int32_t *status, char *message,
                                                    int32_t message_length);
/* Starts the database in its cluster form (code 0x00010001). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTidewellFromCluster(int32_t lock_key, const char *node,
                                                               const char *suffix, int32_t *value,
                                                               int32_t *status, char *message,
                                                               int32_t message_length);
/* Stops the database (code 4). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopTidewell(int32_t lock_key, const char *node, const char *suffix,
                                                   int32_t *value, int32_t *status, char *message,
                                                   int32_t message_length);
/* Stops the database in its cluster form (code 0x00010004). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopTidewellFromCluster(int32_t lock_key, const char *node,
                                                              const char *suffix, int32_t *value,
                                                              int32_t *status, char *message,
                                                              int32_t message_length);
/* Stops the external tasks (code 15). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopExternalTasks(int32_t lock_key, const char *node,
                                                        const char *suffix, int32_t *value, int32_t *status,
                                                        char *message, int32_t message_length);
/* Unmaps the database's programs (code 18). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UnmapTidewellPrograms(int32_t lock_key, const char *node,
                                                            const char *suffix, int32_t *value,
                                                            int32_t *status, char *message,
                                                            int32_t message_length);
/* Stops one subsystem (code 7, name at offset 12). Leaves the caller's message
 * text in place unless the service answers with a text.
 * Refuses "Subsystem name is too long (at most 8011 characters)". */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopSubsystem(int32_t lock_key, const char *node, const char *suffix,
                                                    const char *subsystem, int32_t *value, int32_t *status,
                                                    char *message, int32_t message_length);
/* As VexSrv_StopSubsystem, waiting for the stop (code 17) when wait is not 0. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopSubsystemAndWait(int32_t lock_key, const char *node,
                                                           const char *suffix, const char *subsystem,
                                                           int32_t wait, int32_t *value, int32_t *status,
                                                           char *message, int32_t message_length);

/* ---- Database status (a quick echo to the node first) ------------------
 * Each first sends one ICMP echo to the node and waits up to 2000 ms. A node
 * that does not answer fails the call with *status 0 and the message
 * "Host is unreachable", and nothing is sent; judge success by the result.
 * A node that cannot be probed (a name that does not resolve to IPv4, ".",
 * no ICMP support) is taken as reachable and the exchange reports. */

/* Checks the database: code 9, then code 6 when the first status is 0.
 * value_first and value_second receive the two reply values, and are 0 until
 * their answers come. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_CheckTidewell(const char *node, const char *suffix, int32_t *value_first,
                                                    int32_t *value_second, int32_t *status, char *message,
                                                    int32_t message_length);
/* Reads the database status (code 19) into *value; *value is 0 until it comes. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetTidewellStatus(const char *node, const char *suffix, int32_t *value,
                                                        int32_t *status, char *message,
                                                        int32_t message_length);
/* Sets the database status to *value (code 26); *value receives the answer. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetTidewellStatus(const char *node, const char *suffix, int32_t *value,
                                                        int32_t *status, char *message,
                                                        int32_t message_length);

/* ---- Exclusive lock, permissions, version ------------------------------ */

/* Takes the exclusive lock (code 10); *lock_token is -1 after any failure. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetExclLock(const char *node, const char *suffix, int32_t *lock_token,
                                                  int32_t *value, int32_t *status, char *message,
                                                  int32_t message_length);
/* Gives the exclusive lock back (code 11, token at offset 8). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GiveExclLock(int32_t lock_token, const char *node, const char *suffix,
                                                   int32_t *value, int32_t *status, char *message,
                                                   int32_t message_length);
/* Reads the database permissions (code 22) for a query value. *value is the
 * reply value's low 16 bits, sign-extended: 0 fills the two words from the
 * reply, any other value sets them to 0 and gives the service's text. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetDBPermis(const char *node, const char *suffix, int32_t query,
                                                  uint32_t *permission_first, uint32_t *permission_second,
                                                  int32_t *value, int32_t *status, char *message,
                                                  int32_t message_length);
/* Reads the database version (code 23); the outcome (the reply value's low 16
 * bits, sign-extended) goes to *status. version_text receives the service's
 * text, or "Target computer is offline." when the exchange fails, or "Target
 * system does not support DB version requests." for an outcome other than 0;
 * never more than version_text_length bytes, cut to fit and NUL-terminated
 * (nothing for a length of 0). The message buffer is written only when the
 * exchange fails. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetDBVersion(const char *node, const char *suffix, int32_t *status,
                                                   int32_t *version_first, int32_t *version_second,
                                                   int32_t *version_third, char *version_text,
                                                   uint32_t version_text_length, char *message,
                                                   int32_t message_length);

/* ---- Audit trail, group configuration, snapshots ----------------------- */

/* Reads the audit-trail configuration (code 27). The two text fields are
 * copied as 32 whole bytes each, without a terminator of their own. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetAuditTrailConfiguration(const char *node, const char *suffix,
                                                                 int32_t *setting_first,
                                                                 int32_t *setting_second, char *field_first,
                                                                 char *field_second, int32_t *value,
                                                                 int32_t *status, char *message,
                                                                 int32_t message_length);
/* Writes the audit-trail configuration (code 28). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetAuditTrailConfiguration(const char *node, const char *suffix,
                                                                 int32_t setting_first,
                                                                 int32_t setting_second, int32_t *value,
                                                                 int32_t *status, char *message,
                                                                 int32_t message_length);
/* Saves a group configuration under a file name (code 34).
 * Refuses "File name is invalid" (null or empty) and
 * "File name is too long (at most 7999 characters)". */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_SaveGroupConfiguration(const char *node, const char *suffix,
                                                             const char *file_name, int32_t *value,
                                                             int32_t *status, char *message,
                                                             int32_t message_length);
/* Loads a group configuration from a file name (code 35); refusals as for
 * VexSrv_SaveGroupConfiguration. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_LoadGroupConfiguration(const char *node, const char *suffix,
                                                             const char *file_name, int32_t load_option,
                                                             int32_t *value, int32_t *status,
                                                             char *message, int32_t message_length);
/* Updates the snapshot list with one entry (code 48). A failed exchange is
 * reported with the system's text, also for a missing pipe. Refuses
 * "snapshot name should be defined" (null entry or empty name) and
 * "snapshot name is too long (at most 1023 characters)" (no NUL in name). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateSnapshotList(const char *node, const char *suffix,
                                                         const SnapshotListEntry *entry, int32_t *value,
                                                         int32_t *status, char *message,
                                                         int32_t message_length);

/* ---- Task list editing -------------------------------------------------
 * Each member carries its record to the service and reads status, value and
 * text of a 536-byte reply. Layout 1 travels in the narrow form (16-bit
 * presence flags at request offset 12, the record's fields at 14 plus their
 * record offsets), layouts 2 to 5 in the wide form (32-bit flags at 12, fields
 * at 16 plus their record offsets). The suffix argument travels in the
 * service_suffix slot; the record's own service_suffix is never read. A text
 * goes only when it is not empty, except the suffix in layout 1 and text_a in
 * the updates, which always go; in layouts 2 to 5 every number and byte goes,
 * zero included.
 *
 * Refusals, tested in this order; each sends nothing and leaves *value and
 * *status untouched:
 *   "Inserting tasks to a given location is not supported yet."
 *       VexSrv_AddTaskToList: the position argument is not -1 (tested first)
 *   "task record should be defined"       the record pointer is null
 *   "Inserting tasks to a given location is not supported yet."
 *       the add members of layouts 2 to 5: the record's position is not -1
 *   "command_line should be defined"      an add member: command_line empty
 *   "task name should be defined"         a member of layouts 2 to 5:
 *                                         task_name empty
 *   "<field> is not terminated within its <width> bytes"
 *       a text to be sent fills its field with no NUL, for example
 *       "text_a is not terminated within its 1024 bytes"; fields in record
 *       order (layout 1's text_e is read as the 128 bytes declared here)
 *   "service suffix is too long (at most 63 characters)"
 *       the suffix to be sent does not fit its 64-byte slot
 * and then the refusals common to every exchanging operation. A failed
 * exchange is reported as for every operation (the connection message for a
 * missing pipe). */

/* Adds a task at the end of the list (code 0xFFFF0008); position must be -1.
 * Sends presence flags 0x101 for a record with only command_line set. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList(const char *node, const char *suffix,
                                                    const TaskDefinition1 *task, int32_t position,
                                                    int32_t *value, int32_t *status, char *message,
                                                    int32_t message_length);
/* Updates a registered task (code 25). Requires nothing; text_a always goes
 * (flags 0x120 for a record with every text empty). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList(const char *node, const char *suffix,
                                                     const TaskDefinition1 *task, int32_t *value,
                                                     int32_t *status, char *message, int32_t message_length);
/* Removes a registered task (code 24). Requires nothing (flags 0x100 for a
 * record with every text empty). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_RemoveTaskFromList(const char *node, const char *suffix,
                                                         const TaskDefinition1 *task, int32_t *value,
                                                         int32_t *status, char *message,
                                                         int32_t message_length);
/* Adds a task from a layout-2 record (code 30); position must be -1,
 * command_line and task_name set. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList2(const char *node, const char *suffix,
                                                     const TaskDefinition2 *task, int32_t *value,
                                                     int32_t *status, char *message, int32_t message_length);
/* Updates a task from a layout-2 record (code 31); task_name must be set, the
 * position goes as it is. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList2(const char *node, const char *suffix,
                                                      const TaskDefinition2 *task, int32_t *value,
                                                      int32_t *status, char *message, int32_t message_length);
/* Adds a task from a layout-3 record (code 39); as VexSrv_AddTaskToList2. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList3(const char *node, const char *suffix,
                                                     const TaskDefinition3 *task, int32_t *value,
                                                     int32_t *status, char *message, int32_t message_length);
/* Updates a task from a layout-3 record (code 40); as VexSrv_UpdateTaskList2. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList3(const char *node, const char *suffix,
                                                      const TaskDefinition3 *task, int32_t *value,
                                                      int32_t *status, char *message, int32_t message_length);
/* Adds a task from a layout-4 record (code 42), affinity included. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList4(const char *node, const char *suffix,
                                                     const TaskDefinition4 *task, int32_t *value,
                                                     int32_t *status, char *message, int32_t message_length);
/* Updates a task from a layout-4 record (code 43), affinity included. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList4(const char *node, const char *suffix,
                                                      const TaskDefinition4 *task, int32_t *value,
                                                      int32_t *status, char *message, int32_t message_length);
/* Adds a task from a layout-5 record (code 45), affinity and priority included. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_AddTaskToList5(const char *node, const char *suffix,
                                                     const TaskDefinition5 *task, int32_t *value,
                                                     int32_t *status, char *message, int32_t message_length);
/* Updates a task from a layout-5 record (code 46), affinity and priority included. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_UpdateTaskList5(const char *node, const char *suffix,
                                                      const TaskDefinition5 *task, int32_t *value,
                                                      int32_t *status, char *message, int32_t message_length);

/* ---- Task start and stop -----------------------------------------------
 * lock_key goes unchanged to request offset 8; the reply is 536 bytes. */

/* Starts a task from a layout-1 record (code 2), carried as by
 * VexSrv_UpdateTaskList's narrow form but with text_a only when not empty.
 * Refuses as the layout-1 list members: "task record should be defined",
 * "command_line should be defined", then "<field> is not terminated within its
 * <width> bytes" and "service suffix is too long (at most 63 characters)".
 * A failed exchange puts the system error code in *status and the system's
 * text for it in the message buffer, also for a missing pipe (code 2): never
 * the connection message. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTask(int32_t lock_key, const char *node, const char *suffix,
                                                const TaskDefinition1 *task, int32_t *value, int32_t *status,
                                                char *message, int32_t message_length);
/* Starts a registered task by name: operation 3 in the code word's low half,
 * the modifier's 16 bits in its high half (5 gives 0x50003, -1 0xFFFF0003);
 * the name with its NUL at offset 12. A null name goes as the empty name.
 * Refuses "task name is too long (at most 8011 characters)". */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTaskByName(int32_t lock_key, const char *node, const char *suffix,
                                                      const char *task_name, int16_t modifier, int32_t *value,
                                                      int32_t *status, char *message, int32_t message_length);
/* As VexSrv_StartTaskByName without waiting for the start (operation 29). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartTaskByNameNoBlock(int32_t lock_key, const char *node,
                                                             const char *suffix, const char *task_name,
                                                             int16_t modifier, int32_t *value,
                                                             int32_t *status, char *message,
                                                             int32_t message_length);
/* Stops a task by name (code 5, stop_value at offset 12, the name with its NUL
 * at 16). A null name goes as the empty name.
 * Refuses "task name is too long (at most 8007 characters)". */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StopTask(int32_t lock_key, const char *node, const char *suffix,
                                               const char *task_name, int32_t stop_value, int32_t *value,
                                               int32_t *status, char *message, int32_t message_length);

/* ---- Process launch and running list -----------------------------------
 * The three launches send, in the wide form, only command_line (required,
 * flag 0x1), the suffix argument (always, also empty, 0x100), text_a (0x20)
 * and text_e (0x10) when not empty, and where their names say so affinity
 * (0x20000) and priority (0x40000), zero included. These sit at the same
 * offsets in layouts 3 to 5, so a later layout may be passed. No other field
 * is read or examined. Refusals, in order, sending nothing:
 *   "task record should be defined", "command_line should be defined",
 *   "<field> is not terminated within its 1024 bytes" (command_line, text_a,
 *   text_e), "service suffix is too long (at most 63 characters)".
 * A failed exchange is reported as by VexSrv_StartTask: the system's text,
 * also for a missing pipe. The reply's text is copied whatever its value. */

/* Starts a process from a layout 3-5 record (code 41). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartProcess(const char *node, const char *suffix,
                                                   const TaskDefinition3 *task, int32_t *value, int32_t *status,
                                                   char *message, int32_t message_length);
/* As VexSrv_StartProcess, with the affinity of a layout 4-5 record (code 44). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartProcessWithAffinity(const char *node, const char *suffix,
                                                               const TaskDefinition4 *task, int32_t *value,
                                                               int32_t *status, char *message,
                                                               int32_t message_length);
/* As VexSrv_StartProcessWithAffinity, with the priority of a layout-5 record (code 47). */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_StartProcessWithAffinityPriority(const char *node, const char *suffix,
                                                                       const TaskDefinition5 *task,
                                                                       int32_t *value, int32_t *status,
                                                                       char *message,
                                                                       int32_t message_length);
/* Asks the service to check its running list (code 36, no payload). A failed
 * exchange is reported as for every operation (the connection message for a
 * missing pipe); the reply's text is copied whatever its value. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_CheckRunningList(const char *node, const char *suffix, int32_t *value,
                                                       int32_t *status, char *message, int32_t message_length);

/* ---- Startup order, boot start, lists ---------------------------------- */

/* Sets the startup order from task names in the wanted order (code 32): the
 * names are packed from request offset 24 (docs/packed-list.md), each with its
 * order number, 1 for the first; empty names are skipped. The array is only
 * read. The reply's text is copied only when its value is not 0. Refuses:
 *   "task names array should be defined"   task_names is null
 *   "Tasks list is empty"                  the array's size is 0 or less
 *   "Too many tasks in the registered tasks list"
 *                                          the packed names take > 8000 bytes
 *   "Task name is too long for the startup order (at most 254 characters)"
 *   "Too many tasks for the startup order (at most 255 named tasks)" */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetRegTaskListStartupOrders(const char *node, const char *suffix,
                                                                  int32_t *value, int32_t *status,
                                                                  const CStringArray *task_names,
                                                                  char *message, int32_t message_length);
/* Switches start at boot on (on == 1, sent as 1 at offset 12) or off (any
 * other value, sent as 0) (code 33). The reply's text is copied only when its
 * value is not 0. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_SetStartupAtBoot(const char *node, const char *suffix, int32_t *value,
                                                       int32_t *status, int32_t on, char *message,
                                                       int32_t message_length);
/* Reads the registered task names, in startup order when startup_order is not
 * 0 (code 12), else in list order (code 13). lock_key goes to request offset 8.
 * *list is set to null first; when the reply's value is 0 it receives a new
 * array of the listed names (empty for an empty list), index 0 holding the
 * first, which the caller frees with VexSrv_FreeCStringArray; otherwise the
 * reply's text reaches the message buffer and *list stays null. The status
 * alone decides the result: an array may come with a result of 0, and must
 * still be freed. Refuses "list pointer should be defined" for a null list.
 * Exhaustion of memory while the array is filled throws std::bad_alloc to the
 * caller; an array already in *list is the caller's to free. A Windows module
 * cannot pass an exception on: there it fails with status 8 and its text. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetTaskList(int32_t lock_key, const char *node, const char *suffix,
                                                  int32_t *value, int32_t *status, int32_t startup_order,
                                                  CStringArray **list, char *message, int32_t message_length);
/* Reads the subsystem list (code 16); *list as for VexSrv_GetTaskList. */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_GetSubSysList(int32_t lock_key, const char *node, const char *suffix,
                                                    int32_t *value, int32_t *status, CStringArray **list,
                                                    char *message, int32_t message_length);
/* Frees an array returned by a list operation; null does nothing. */
VEXSRV_API void VEXSRV_CALL VexSrv_FreeCStringArray(CStringArray *list);

/* ---- Discovery --------------------------------------------------------- */

/* Broadcasts a browse request to "\\TARGET\mailslot\Tidewell\Browse" ("*" when
 * target is null) and calls callback once per answer until a read times out.
 * Only the target's text before its first "." is used, at most 15 characters.
 * Answers arrive on the reply mailslot "\\.\mailslot\Tidewell\BrowseR\PID"
 * (the process id in hexadecimal); callback runs on the calling thread, in
 * order of arrival, with strings valid only during the call. An answer whose
 * offsets or strings would lead outside the receive buffer is dropped.
 * Returns 1 when the collection ended by time-out (also with no answer), else
 * 0 with a text in the message buffer:
 *   "callback should be defined"             callback is null
 *   "Domain name or node name cannot be greater than 15 characters"
 *   "Cannot obtain computer name, error = ..."
 *   "Cannot open mailslot(...) as server, error = ..."   also when another
 *                                            broadcast of this process runs
 *   "Cannot open mailslot ('...') as client, Error = ..."
 *   "Error in WriteFile to .... Error = ..."
 *   "Error in ReadFile for .... Error = ..."  answers before it stay delivered */
VEXSRV_API int32_t VEXSRV_CALL VexSrv_Broadcast(const char *target, uint32_t read_timeout_ms,
                                                BrowseCallback callback, int32_t user_value, char *message,
                                                int32_t message_length);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VEXSRVAPI_H */
