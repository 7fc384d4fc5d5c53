// Verification that the plugin was launched by the audit daemon as root.
#pragma once

#include <cstdio>
#include <string>

// The executable that must be the plugin's parent.
constexpr char const* AUDITD_PATH = "/usr/sbin/auditd";

// Checks, reading process information under proc_root (which ends in "/"),
// that the parent runs /usr/sbin/auditd, that the daemon was started by
// pid 1 directly or through one process, and that the effective uid is 0.
// On the first failure writes one message to out and returns false.
bool parent_is_auditd(FILE* out, std::string const& proc_root);
