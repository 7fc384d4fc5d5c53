# Private audit daemon for the end-to-end tests and the demo (sourced, bash).
#
# Only one audit daemon can run on a machine, so everything here works under
# one machine-wide lock, refuses to run beside a daemon it did not start, and
# undoes what it did: the daemon it started is stopped by its own pid, the
# rules it added are deleted, and the kernel's audit settings it changed are
# put back. Callers set a trap that runs vk_cleanup on EXIT.
#
# Functions print their complaints on standard error and return non-zero.

# The lock lives in the machine's lock folder; a host without /run/lock
# (some minimal images) has /run, and any host has /tmp.
for vk_lock_dir in /run/lock /var/lock /run /tmp; do
    [ -d "$vk_lock_dir" ] && [ -w "$vk_lock_dir" ] && break
done
VK_LOCK_FILE=$vk_lock_dir/velkoran-auditd.lock
unset vk_lock_dir
VK_AUDITD=/usr/sbin/auditd

vk_auditd_pid=""        # pid of the daemon started here, empty when none
vk_rules_file=""        # one added rule per line, as given to auditctl
vk_saved_enabled=""     # kernel 'enabled' flag before the daemon started
vk_saved_backlog=""     # kernel 'backlog_limit' before it was raised

# Prints a message on standard error with the caller's name.
vk_say() {
    echo "${VK_NAME:-velkoran}: $*" >&2
}

# Waits until the command succeeds, polling every 0.1 s for at most N seconds.
# Usage: vk_wait_for SECONDS COMMAND [ARG...]
vk_wait_for() {
    local seconds=$1; shift
    local tries=$((seconds * 10))
    while ! "$@"; do
        tries=$((tries - 1))
        [ "$tries" -gt 0 ] || return 1
        sleep 0.1
    done
}

# Takes the machine-wide lock that every user of a private audit daemon holds
# (descriptor 9, held until the calling shell exits).
vk_take_lock() {
    exec 9>"$VK_LOCK_FILE" || { vk_say "cannot open $VK_LOCK_FILE"; return 1; }
    if ! flock -n 9; then
        vk_say "waiting for another private audit daemon to finish (lock $VK_LOCK_FILE)"
        flock -w 1200 9 || { vk_say "gave up waiting for $VK_LOCK_FILE"; return 1; }
    fi
}

# Fails, naming it, if any audit daemon runs on this machine.
vk_refuse_running_daemon() {
    local pids
    pids=$(pgrep -x auditd | tr '\n' ' ') || true
    if [ -n "$pids" ]; then
        vk_say "an audit daemon is already running (pid ${pids% }); it is not touched." \
               "Stop it first (for example: systemctl stop auditd) and run again."
        return 1
    fi
}

# Reads one value ('enabled', 'backlog_limit', 'pid'...) from auditctl -s.
vk_kernel_status() {
    auditctl -s 2>/dev/null | awk -v k="$1" '$1 == k { print $2; exit }'
}

# For tests: exits with a failure unless run as root with the audit daemon
# installed.
vk_require_root_and_auditd() {
    if [ "$(id -u)" -ne 0 ]; then
        vk_say "FAIL: must run as root: it starts the audit daemon and adds audit rules"
        exit 1
    fi
    if [ ! -x "$VK_AUDITD" ] || ! command -v auditctl >/dev/null; then
        vk_say "FAIL: $VK_AUDITD or auditctl is missing (apt-get install auditd)"
        exit 1
    fi
}

# True when the kernel has audit support. When it has none, a genuine host
# limit where no audit event can exist, says so on one line.
vk_kernel_has_audit() {
    auditctl -s >/dev/null 2>&1 && return 0
    echo "${VK_NAME:-velkoran}: SKIP: this kernel has no audit support ('auditctl -s' fails); the run under a real audit daemon is skipped"
    return 1
}

# For tests: as vk_require_root_and_auditd, and exits 77 (skipped) on a
# kernel without audit support.
vk_require_audit_or_skip() {
    vk_require_root_and_auditd
    vk_kernel_has_audit || exit 77
}

# Writes a daemon configuration into DIR: events go to the plugins in
# PLUGIN_DIR, with a deep queue so a burst is not dropped, and to the log
# file LOG if one is given (none otherwise).
# Usage: vk_write_daemon_conf DIR PLUGIN_DIR [LOG]
vk_write_daemon_conf() {
    local dir=$1 plugin_dir=$2 logging="write_logs = no"
    [ $# -ge 3 ] && logging="write_logs = yes
log_file = $3
log_group = root
max_log_file = 100
max_log_file_action = IGNORE"
    mkdir -p "$dir" "$plugin_dir"
    cat > "$dir/auditd.conf" <<EOF
local_events = yes
$logging
log_format = ENRICHED
flush = NONE
q_depth = 20000
overflow_action = SYSLOG
max_restarts = 0
plugin_dir = $plugin_dir
end_of_event_timeout = 2
space_left = 75
admin_space_left = 50
disk_full_action = IGNORE
disk_error_action = IGNORE
space_left_action = IGNORE
admin_space_left_action = IGNORE
EOF
    chmod 0640 "$dir/auditd.conf"
}

# Writes a plugin configuration that starts BINARY with ARGUMENT.
# Usage: vk_write_plugin_conf FILE BINARY ARGUMENT
vk_write_plugin_conf() {
    cat > "$1" <<EOF
active = yes
direction = out
path = $2
type = always
args = $3
format = string
EOF
    chmod 0640 "$1"
}

# Copies an executable into DIR as a root-owned 0755 file, as the daemon
# demands of plugins, and prints the copy's path.
# Usage: vk_stage_binary SOURCE DIR
vk_stage_binary() {
    local target
    target="$2/$(basename "$1")"
    mkdir -p "$2"
    install -o root -g root -m 0755 "$1" "$target" || return 1
    echo "$target"
}

# Starts a private daemon reading DIR/auditd.conf and waits until the kernel
# knows it. Also raises the kernel's backlog so bursts are not lost.
# Usage: vk_start_daemon DIR
vk_start_daemon() {
    local dir=$1 pid
    vk_refuse_running_daemon || return 1
    vk_saved_enabled=$(vk_kernel_status enabled)
    vk_saved_backlog=$(vk_kernel_status backlog_limit)
    if [ -n "$vk_saved_backlog" ] && [ "$vk_saved_backlog" -lt 8192 ]; then
        auditctl -b 8192 >/dev/null || vk_say "could not raise the audit backlog (continuing)"
    fi
    # Started the way an init system starts it: the command's parent is pid 1
    # (the subshell exits at once), and it forks the daemon. The plugin's
    # launcher check accepts exactly such chains. The daemon must not inherit
    # the lock: it would keep it after we exit.
    ( "$VK_AUDITD" -c "$dir" 9>&- </dev/null >/dev/null 2>&1 & )
    if ! vk_wait_for 20 vk_daemon_registered "$dir"; then
        vk_say "the audit daemon did not come up; '$VK_AUDITD -f -c $dir' shows why"
        return 1
    fi
}

# True once the daemon started with DIR runs and the kernel sends events to
# it; sets vk_auditd_pid as soon as that daemon is found.
# Usage: vk_daemon_registered DIR
vk_daemon_registered() {
    local pid
    # Only the daemon whose command line names our private folder is ours.
    pid=$(pgrep -o -f -x "$VK_AUDITD -c $1") || return 1
    vk_auditd_pid=$pid
    [ "$(vk_kernel_status pid)" = "$pid" ]
}

# Prints the pid of the daemon's child running EXECUTABLE (resolved), if any.
# Usage: vk_plugin_pid EXECUTABLE
vk_plugin_pid() {
    local child want
    want=$(readlink -f "$1")
    [ -n "$vk_auditd_pid" ] || return 1
    for child in $(pgrep -P "$vk_auditd_pid"); do
        if [ "$(readlink -f "/proc/$child/exe" 2>/dev/null)" = "$want" ]; then
            echo "$child"
            return 0
        fi
    done
    return 1
}

# Adds one audit rule and remembers it for deletion.
# Usage: vk_add_rule -a always,exit -F ... -k KEY
vk_add_rule() {
    [ -n "$vk_rules_file" ] || vk_rules_file=$(mktemp /tmp/velkoran-rules.XXXXXX)
    auditctl "$@" >/dev/null || { vk_say "auditctl $* failed"; return 1; }
    echo "$*" >> "$vk_rules_file"
}

# Adds every rule line of a rules file (comments and control lines skipped).
# With DIR and KEY, each rule is narrowed to the tree DIR and its key (the
# last "-k WORD") replaced by KEY, so a host's rules can be tried on a
# private tree.
# Usage: vk_add_rules_file FILE [DIR KEY]
vk_add_rules_file() {
    local line args n
    while IFS= read -r line; do
        case "$line" in -a*) ;; *) continue ;; esac
        read -ra args <<< "$line"
        n=${#args[@]}
        if [ $# -ge 3 ] && [ "$n" -ge 2 ] && [ "${args[n-2]}" = -k ]; then
            args=("${args[@]:0:n-2}" -F "dir=$2" -k "$3")
        fi
        vk_add_rule "${args[@]}" || return 1
    done < "$1"
}

# Deletes every rule added through vk_add_rule, newest first.
vk_delete_rules() {
    local line args
    [ -n "$vk_rules_file" ] && [ -f "$vk_rules_file" ] || return 0
    tac "$vk_rules_file" | while IFS= read -r line; do
        read -ra args <<< "$line"
        args[0]=-d
        auditctl "${args[@]}" >/dev/null 2>&1 || vk_say "could not delete rule: $line"
    done
    rm -f "$vk_rules_file"
    vk_rules_file=""
}

# Stops the daemon started here (by its pid) and waits for it and its plugins
# to end. Returns non-zero if it had to be killed.
vk_stop_daemon() {
    local pid=$vk_auditd_pid status=0
    [ -n "$pid" ] || return 0
    if [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$VK_AUDITD")" ]; then
        kill -TERM "$pid" 2>/dev/null || true
        if ! vk_wait_for 30 vk_gone "$pid"; then
            vk_say "audit daemon $pid did not stop on SIGTERM; killing it"
            kill -KILL "$pid" 2>/dev/null || true
            vk_wait_for 5 vk_gone "$pid" || true
            status=1
        fi
    fi
    vk_auditd_pid=""
    return $status
}

# True when no process has the given pid.
vk_gone() {
    ! kill -0 "$1" 2>/dev/null
}

# Undoes everything: daemon, rules, kernel settings. Safe to call twice.
vk_cleanup() {
    vk_stop_daemon || true
    vk_delete_rules
    if [ -n "$vk_saved_backlog" ] && [ "$(vk_kernel_status backlog_limit)" != "$vk_saved_backlog" ]; then
        auditctl -b "$vk_saved_backlog" >/dev/null 2>&1 || true
    fi
    if [ -n "$vk_saved_enabled" ] && [ "$vk_saved_enabled" != 2 ] &&
       [ "$(vk_kernel_status enabled)" != "$vk_saved_enabled" ]; then
        auditctl -e "$vk_saved_enabled" >/dev/null 2>&1 || true
    fi
    vk_saved_backlog=""
    vk_saved_enabled=""
}
