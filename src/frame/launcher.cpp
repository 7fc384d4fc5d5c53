// Reading the launching process chain from the process-information tree.
#include "frame/launcher.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <unistd.h>

// Returns the parent pid read from <proc_root><process>/status, or 0 when
// the file cannot be opened or names no parent.
static int parent_of(std::string const& proc_root, std::string const& process)
{
    std::string const status_path = proc_root + process + "/status";
    FILE* status = fopen(status_path.c_str(), "r");
    if (status == nullptr)
        return 0;
    int ppid = 0;
    char line[8192];
    // A line that does not match leaves ppid untouched.
    while (ppid == 0 && fgets(line, sizeof line, status) != nullptr)
        sscanf(line, "PPid:\t%d\n", &ppid);
    fclose(status);
    return ppid;
}

// Walks self -> parent -> grandparent (-> great-grandparent) and the uid.
bool parent_is_auditd(FILE* out, std::string const& proc_root)
{
    char const* name = program_invocation_short_name;

    int parent = parent_of(proc_root, "self");
    if (parent == 0) {
        fprintf(out, "%s: Could not find parent process: %s. Exiting.\n", name, strerror(errno));
        return false;
    }

    char parent_exe[PATH_MAX];
    std::string const exe_link = proc_root + std::to_string(parent) + "/exe";
    if (realpath(exe_link.c_str(), parent_exe) == nullptr) {
        fprintf(out, "%s: Could not locate parent process: %s. Exiting.\n", name, strerror(errno));
        return false;
    }

    char auditd_exe[PATH_MAX];
    if (realpath(AUDITD_PATH, auditd_exe) == nullptr) {
        fprintf(out, "%s: Could not locate auditd binary: %s. Exiting.\n", name, strerror(errno));
        return false;
    }

    if (strcmp(parent_exe, auditd_exe) != 0) {
        fprintf(out, "%s: This program expects to be called by %s, not %s. Exiting.\n", name,
                auditd_exe, parent_exe);
        return false;
    }

    int grandparent = parent_of(proc_root, std::to_string(parent));
    if (grandparent == 0) {
        fprintf(out, "%s: Could not find grandparent process: %s. Exiting.\n", name, strerror(errno));
        return false;
    }

    if (grandparent != 1) {
        int great_grandparent = parent_of(proc_root, std::to_string(grandparent));
        if (great_grandparent == 0) {
            fprintf(out, "%s: Could not find grand grandparent process: %s. Exiting.\n", name,
                    strerror(errno));
            return false;
        }
        if (great_grandparent != 1) {
            fprintf(out, "%s: Unexpected grand grandparent: expected pid 1, not pid %d. Exiting.\n",
                    name, great_grandparent);
            return false;
        }
    }

    if (geteuid() != 0) {
        fprintf(out, "%s: This program expects to run as root (uid 0), not uid %d. Exiting.\n", name,
                static_cast<int>(geteuid()));
        return false;
    }
    return true;
}
