// Walking the records of one audit event into a syscall_capture_t.
#include "intake/capture.h"

#include <cstdlib>
#include <cstring>

#include <linux/audit.h>

#include "intake/selection.h"

// Returns s, or "" for a null pointer.
static char const* or_empty(char const* s)
{
    return s != nullptr ? s : "";
}

// Reads the SYSCALL record's fields into capture; sets key_matched when a
// "key" field interprets to exactly the audit key.
static void read_syscall_record(auparse_state_t* au, std::string const& key,
                                syscall_capture_t& capture, bool& key_matched)
{
    do {
        char const* name = auparse_get_field_name(au);
        if (name == nullptr)
            continue;
        if (strcmp(name, "key") == 0) {
            if (key.compare(or_empty(auparse_interpret_field(au))) == 0)
                key_matched = true;
        } else if (strcmp(name, "syscall") == 0) {
            if (capture.syscall.empty())
                capture.syscall = or_empty(auparse_interpret_field(au));
        } else if (name[0] == 'a' && name[1] >= '0' && name[1] <= '3' && name[2] == '\0') {
            uint64_t value = strtoull(or_empty(auparse_get_field_str(au)), nullptr, 16);
            switch (name[1]) {
            case '0': capture.a0 = value; break;
            case '1': capture.a1 = value; break;
            case '2': capture.a2 = value; break;
            default: capture.a3 = value; break;
            }
        } else if (strcmp(name, "uid") == 0) {
            capture.uid = static_cast<uint32_t>(auparse_get_field_int(au));
        }
    } while (auparse_next_field(au) > 0);
}

// Takes the first "cwd" field of a CWD record, unless an earlier record
// already set the working directory; the result always ends in "/".
static void read_cwd_record(auparse_state_t* au, syscall_capture_t& capture)
{
    do {
        char const* name = auparse_get_field_name(au);
        if (name == nullptr || strcmp(name, "cwd") != 0)
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

// Accepts a PATH record with a name, a mode and a NORMAL or CREATE nametype
// as the next path of capture, its kind taken from the mode.
static void read_path_record(auparse_state_t* au, syscall_capture_t& capture)
{
    std::string name;
    char const* nametype = "";   // raw value: stays valid while the event is current
    bool has_mode = false;       // a non-empty mode was seen
    file_type_e type = FILE_TYPE_OTHER;

    do {
        char const* field = auparse_get_field_name(au);
        if (field == nullptr)
            continue;
        if (strcmp(field, "nametype") == 0 || strcmp(field, "objtype") == 0) {
            if (nametype[0] == '\0')
                nametype = or_empty(auparse_get_field_str(au));
        } else if (strcmp(field, "name") == 0) {
            // The kernel writes an unquoted (null) for a path without a name;
            // a file really named "(null)" arrives quoted.
            if (name.empty() && strcmp(or_empty(auparse_get_field_str(au)), "(null)") != 0)
                name = or_empty(auparse_interpret_field(au));
        } else if (strcmp(field, "mode") == 0) {
            if (!has_mode) {
                char const* mode = or_empty(auparse_interpret_field(au));
                has_mode = mode[0] != '\0';
                if (strncmp(mode, "dir,", 4) == 0)
                    type = FILE_TYPE_DIRECTORY;
                else if (strncmp(mode, "file,", 5) == 0)
                    type = FILE_TYPE_REGULAR;
            }
        }
    } while (auparse_next_field(au) > 0);

    if (name.empty() || !has_mode || capture.path_count >= CAPTURE_PATHS_MAX)
        return;
    if (strcmp(nametype, "NORMAL") != 0 && strcmp(nametype, "CREATE") != 0)
        return;
    capture.path_types[capture.path_count] = type;
    capture.paths[capture.path_count] = std::move(name);
    ++capture.path_count;
}

// Visits every record of a ready event once; drops the event at the end of a
// SYSCALL record without the key, abandons it on a record error.
void auparse_callback(auparse_state_t* au, auparse_cb_event_t cb_event_type, void* user_data)
{
    if (cb_event_type != AUPARSE_CB_EVENT_READY)
        return;
    std::string const& key = *static_cast<std::string const*>(user_data);

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
        default:
            break;
        }
        if (auparse_next_record(au) < 0)
            return;
    }
    if (key_matched)
        process_syscall(&capture);
}
