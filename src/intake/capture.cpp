// Walking the records of one audit event into a syscall_capture_t.
#include "intake/capture.h"

#include <cstdlib>
#include <cstring>

#include <sys/sysmacros.h>

#include <linux/audit.h>

#include "intake/selection.h"

// Returns s, or "" for a null pointer.
static char const* or_empty(char const* s)
{
    return s != nullptr ? s : "";
}

// True when the field name equals literal as a whole. Compares inline and
// stops at the first difference, so it never reads past the name's end.
template <size_t N>
static inline bool field_is(char const* name, char const (&literal)[N])
{
    for (size_t i = 0; i < N; ++i)
        if (name[i] != literal[i])
            return false;
    return true;
}

// Reads the digits of base 10 or 16 at text into value, up to the first
// other character, which *end gets; false for no digit or a value past 64
// bits. Called for a few short fields of every kept event, where strtoull
// would cost several times as much.
static bool read_number(char const* text, unsigned base, uint64_t& value, char const** end)
{
    uint64_t number = 0;
    char const* at = text;
    for (;; ++at) {
        unsigned digit;
        if (*at >= '0' && *at <= '9')
            digit = static_cast<unsigned>(*at - '0');
        else if (base == 16 && *at >= 'a' && *at <= 'f')
            digit = static_cast<unsigned>(*at - 'a' + 10);
        else if (base == 16 && *at >= 'A' && *at <= 'F')
            digit = static_cast<unsigned>(*at - 'A' + 10);
        else
            break;
        if (number > (UINT64_MAX - digit) / base)
            return false;
        number = number * base + digit;
    }
    value = number;
    *end = at;
    return at != text;
}

// A process id from the raw text of a "pid" or "ppid" field; 0 for none.
static uint32_t read_process_id(char const* text)
{
    uint64_t id = 0;
    char const* end = nullptr;
    if (text == nullptr || !read_number(text, 10, id, &end) || *end != '\0' || id > UINT32_MAX)
        return 0;
    return static_cast<uint32_t>(id);
}

// Position of a field of the current record, as auparse_get_field_num gives
// it; NO_FIELD when the record has no such field.
constexpr unsigned int NO_FIELD = ~0u;

// Reads the SYSCALL record's fields into capture; sets key_matched when a
// "key" field interprets to exactly the audit key. The key test is made at
// the end of the record and an event without the key is dropped there, so
// the other values are only noted on the walk and taken from the record once
// the key has matched: nothing is interpreted or parsed for dropped events.
static void read_syscall_record(auparse_state_t* au, std::string const& key,
                                syscall_capture_t& capture, bool& key_matched)
{
    char const* arg_text[4] = {};       // raw text of the last a0..a3; null if absent
    char const* pid_text = nullptr;     // raw text of the last "pid"; null if absent
    char const* ppid_text = nullptr;    // raw text of the last "ppid"; null if absent
    unsigned int first_syscall = NO_FIELD; // the first "syscall" field
    unsigned int last_uid = NO_FIELD;      // the last "uid" field
    do {
        char const* name = auparse_get_field_name(au);
        if (name == nullptr)
            continue;
        switch (name[0]) {
        case 'k':
            if (field_is(name, "key") && key.compare(or_empty(auparse_interpret_field(au))) == 0)
                key_matched = true;
            break;
        case 's':
            if (first_syscall == NO_FIELD && field_is(name, "syscall"))
                first_syscall = auparse_get_field_num(au);
            break;
        case 'a':
            if (name[1] >= '0' && name[1] <= '3' && name[2] == '\0')
                arg_text[name[1] - '0'] = or_empty(auparse_get_field_str(au));
            break;
        case 'u':
            if (field_is(name, "uid"))
                last_uid = auparse_get_field_num(au);
            break;
        case 'p':
            if (field_is(name, "pid"))
                pid_text = auparse_get_field_str(au);
            else if (field_is(name, "ppid"))
                ppid_text = auparse_get_field_str(au);
            break;
        default:
            break;
        }
    } while (auparse_next_field(au) > 0);

    if (!key_matched)
        return;
    uint64_t* const args[4] = {&capture.a0, &capture.a1, &capture.a2, &capture.a3};
    for (int i = 0; i < 4; ++i)
        if (arg_text[i] != nullptr)
            *args[i] = strtoull(arg_text[i], nullptr, 16);
    capture.pid = read_process_id(pid_text);
    capture.ppid = read_process_id(ppid_text);
    if (last_uid != NO_FIELD && auparse_goto_field_num(au, last_uid) > 0)
        capture.uid = static_cast<uint32_t>(auparse_get_field_int(au));
    // The first "syscall" field with a non-empty interpretation names it.
    if (capture.syscall.empty() && first_syscall != NO_FIELD &&
        auparse_goto_field_num(au, first_syscall) > 0) {
        do {
            char const* name = auparse_get_field_name(au);
            if (name != nullptr && field_is(name, "syscall")) {
                capture.syscall = or_empty(auparse_interpret_field(au));
                if (!capture.syscall.empty())
                    break;
            }
        } while (auparse_next_field(au) > 0);
    }
}

// Takes the first "cwd" field of a CWD record, unless an earlier record
// already set the working directory; the result always ends in "/".
static void read_cwd_record(auparse_state_t* au, syscall_capture_t& capture)
{
    do {
        char const* name = auparse_get_field_name(au);
        if (name == nullptr || !field_is(name, "cwd"))
            continue;
        if (capture.cwd.empty()) {
            char const* cwd = auparse_interpret_field(au);
            capture.cwd = cwd != nullptr ? cwd : "/";
            if (capture.cwd.empty() || capture.cwd.back() != '/')
                capture.cwd += '/';
        }
        return;
    } while (auparse_next_field(au) > 0);
}

// The inode and device of a PATH record, from the raw text of its "inode"
// (decimal) and "dev" ("major:minor", hex) fields; false unless both are
// whole numbers, so that a damaged record never proves a file.
static bool read_identity(char const* inode_text, char const* dev_text, uint64_t& inode, dev_t& dev)
{
    if (inode_text == nullptr || dev_text == nullptr)
        return false;
    char const* end = nullptr;
    uint64_t major_number = 0, minor_number = 0;
    if (!read_number(inode_text, 10, inode, &end) || *end != '\0' ||
        !read_number(dev_text, 16, major_number, &end) || *end != ':' ||
        !read_number(end + 1, 16, minor_number, &end) || *end != '\0' || major_number > UINT32_MAX ||
        minor_number > UINT32_MAX)
        return false;
    dev = makedev(static_cast<unsigned int>(major_number), static_cast<unsigned int>(minor_number));
    return true;
}

// Accepts a PATH record with a name, a mode and a NORMAL or CREATE nametype
// as the next path of capture, its kind taken from the mode, with the inode
// and device the kernel found there; of a PARENT record only the inode and
// device of the folder are kept. The nametype comes after the name and the
// mode in the record, so the walk only notes where they are; they are
// interpreted only for a record that can be kept.
static void read_path_record(auparse_state_t* au, syscall_capture_t& capture)
{
    char const* nametype = "";          // raw value: stays valid while the event is current
    char const* inode_text = nullptr;   // raw value of the first "inode" field
    char const* dev_text = nullptr;     // raw value of the first "dev" field
    unsigned int first = NO_FIELD;      // the first "name" or "mode" field
    bool has_name_field = false;        // a "name" field was seen
    bool has_mode_field = false;        // a "mode" field was seen

    do {
        char const* field = auparse_get_field_name(au);
        if (field == nullptr)
            continue;
        // Most fields of a PATH record (item, ouid, rdev, cap_*) are none
        // of these: the first letter sends them on at once.
        switch (field[0]) {
        case 'n':
        case 'o':
            if (field_is(field, "nametype") || field_is(field, "objtype")) {
                if (nametype[0] == '\0')
                    nametype = or_empty(auparse_get_field_str(au));
                break;
            }
            if (!field_is(field, "name"))
                break;
            has_name_field = true;
            if (first == NO_FIELD)
                first = auparse_get_field_num(au);
            break;
        case 'm':
            if (!field_is(field, "mode"))
                break;
            has_mode_field = true;
            if (first == NO_FIELD)
                first = auparse_get_field_num(au);
            break;
        case 'i':
            if (inode_text == nullptr && field_is(field, "inode"))
                inode_text = auparse_get_field_str(au);
            break;
        case 'd':
            if (dev_text == nullptr && field_is(field, "dev"))
                dev_text = auparse_get_field_str(au);
            break;
        default:
            break;
        }
    } while (auparse_next_field(au) > 0);

    if (strcmp(nametype, "PARENT") == 0) {
        uint64_t inode = 0;
        dev_t dev = 0;
        if (capture.parent_count < CAPTURE_PARENTS_MAX && read_identity(inode_text, dev_text, inode, dev)) {
            capture.parent_inodes[capture.parent_count] = inode;
            capture.parent_devs[capture.parent_count] = dev;
            ++capture.parent_count;
        }
        return;
    }
    if (!has_name_field || !has_mode_field || capture.path_count >= CAPTURE_PATHS_MAX)
        return;
    bool const created = strcmp(nametype, "CREATE") == 0;
    if (!created && strcmp(nametype, "NORMAL") != 0)
        return;
    // The raw values may be overwritten once the walk moves on.
    uint64_t inode = 0;
    dev_t dev = 0;
    if (!read_identity(inode_text, dev_text, inode, dev))
        inode = 0;
    if (auparse_goto_field_num(au, first) <= 0)
        return;

    // The first name and the first mode with a non-empty interpretation.
    std::string name;
    bool has_mode = false;
    file_type_e type = FILE_TYPE_OTHER;
    do {
        char const* field = auparse_get_field_name(au);
        if (field == nullptr)
            continue;
        if (field_is(field, "name")) {
            // The kernel writes an unquoted (null) for a path without a name;
            // a file really named "(null)" arrives quoted.
            if (name.empty() && strcmp(or_empty(auparse_get_field_str(au)), "(null)") != 0)
                name = or_empty(auparse_interpret_field(au));
        } else if (field_is(field, "mode")) {
            if (!has_mode) {
                char const* mode = or_empty(auparse_interpret_field(au));
                has_mode = mode[0] != '\0';
                if (strncmp(mode, "dir,", 4) == 0)
                    type = FILE_TYPE_DIRECTORY;
                else if (strncmp(mode, "file,", 5) == 0)
                    type = FILE_TYPE_REGULAR;
            }
        }
    } while (!(has_mode && !name.empty()) && auparse_next_field(au) > 0);

    if (name.empty() || !has_mode)
        return;
    size_t const i = capture.path_count;
    capture.path_types[i] = type;
    capture.paths[i] = std::move(name);
    capture.path_created[i] = created;
    capture.path_inodes[i] = inode;
    capture.path_devs[i] = dev;
    ++capture.path_count;
}

// Takes the open flags of an openat2 call from the first "oflag" field of
// an OPENAT2 record (octal, as the kernel writes it). Text that is not an
// octal number tells nothing, as if the record were missing.
static void read_openat2_record(auparse_state_t* au, syscall_capture_t& capture)
{
    if (capture.has_open_how)
        return;
    do {
        char const* name = auparse_get_field_name(au);
        if (name == nullptr || !field_is(name, "oflag"))
            continue;
        char const* text = or_empty(auparse_get_field_str(au));
        char* end = nullptr;
        uint64_t const flags = strtoull(text, &end, 8);
        if (text[0] >= '0' && text[0] <= '7' && *end == '\0') {
            capture.open_how_flags = flags;
            capture.has_open_how = true;
        }
        return;
    } while (auparse_next_field(au) > 0);
}

// Visits every record of the current event once; drops the event at the end
// of a SYSCALL record without the key, abandons it on a record error.
static void capture_event(auparse_state_t* au, std::string const& key)
{
    syscall_capture_t capture{};
    bool key_matched = false;

    if (auparse_first_record(au) <= 0)
        return;
    unsigned int records = auparse_get_num_records(au);
    for (unsigned int i = 0; i < records; ++i) {
        switch (auparse_get_type(au)) {
        case AUDIT_SYSCALL:
            read_syscall_record(au, key, capture, key_matched);
            if (!key_matched)
                return;
            break;
        case AUDIT_CWD:
            read_cwd_record(au, capture);
            break;
        case AUDIT_PATH:
            read_path_record(au, capture);
            break;
        case AUDIT_OPENAT2:
            read_openat2_record(au, capture);
            break;
        default:
            break;
        }
        if (auparse_next_record(au) < 0)
            return;
    }
    if (key_matched)
        process_syscall(&capture);
}

// Handles a ready event; any failure while handling it (such as memory
// running out) drops the rest of that event, and the parser goes on.
void auparse_callback(auparse_state_t* au, auparse_cb_event_t cb_event_type, void* user_data)
{
    if (cb_event_type != AUPARSE_CB_EVENT_READY)
        return;
    std::string const& key = *static_cast<std::string const*>(user_data);
    try {
        capture_event(au, key);
    } catch (...) {
        // The parser is C code: no exception may unwind through its frames.
    }
}
