# shellcheck shell=bash
# Helpers of the live benchmark runs bench/latency and bench/interleave
# (sourced, bash, after scripts/lib/auditd.sh): the private daemon's
# configuration with a deep plugin queue, its state report, the BPF churn
# helper, and putting back what a run changes beyond what auditd.sh puts back
# (the kernel's rate limit and backlog wait time, the daemon's state report
# file, the churn's cgroup folders). A caller sets BUILD and WORK, calls
# bench_save_host once, and runs bench_restore_host from its EXIT trap.

# The daemon writes its state report (kill -CONT) to this fixed path.
BENCH_STATE=/var/run/auditd.state

bench_saved_wait=""     # kernel backlog_wait_time before the run
bench_saved_rate=""     # kernel rate_limit before the run
bench_saved_state=no    # whether an earlier state report was saved to WORK
bench_churn_pid=""      # pid of the running BPF churn helper, if any

# Remembers the kernel settings and the state report a run may change.
bench_save_host() {
    bench_saved_wait=$(vk_kernel_status backlog_wait_time)
    bench_saved_rate=$(vk_kernel_status rate_limit)
    if [ -e "$BENCH_STATE" ]; then
        cp -p "$BENCH_STATE" "$WORK/saved.state" && bench_saved_state=yes
    fi
}

# Puts back what bench_save_host saved and stops the churn helper; for the
# EXIT trap, after vk_cleanup (which puts back the backlog limit).
bench_restore_host() {
    bench_stop_churn
    [ -z "$bench_saved_wait" ] || auditctl --backlog_wait_time "$bench_saved_wait" >/dev/null 2>&1 || true
    [ -z "$bench_saved_rate" ] || auditctl -r "$bench_saved_rate" >/dev/null 2>&1 || true
    if [ "$bench_saved_state" = yes ]; then
        cp -p "$WORK/saved.state" "$BENCH_STATE" || true
    else
        rm -f "$BENCH_STATE"
    fi
    return 0
}

# Writes DIR/auditd.conf for a private daemon without a log of its own, whose
# plugins are in PLUGIN_DIR, with the plugin queue Q_DEPTH records deep.
# Usage: bench_write_daemon_conf DIR PLUGIN_DIR Q_DEPTH
bench_write_daemon_conf() {
    vk_write_daemon_conf "$1" "$2"
    sed -i "s/^q_depth = .*/q_depth = $3/" "$1/auditd.conf"
}

# Asks the daemon started here for its state report and copies it to FILE.
# Usage: bench_state_report FILE
bench_state_report() {
    rm -f "$BENCH_STATE"
    # shellcheck disable=SC2154 # set by vk_start_daemon (scripts/lib/auditd.sh)
    kill -CONT "$vk_auditd_pid" 2>/dev/null || return 1
    vk_wait_for 10 grep -q "plugin queueing suspended" "$BENCH_STATE" 2>/dev/null || return 1
    cp "$BENCH_STATE" "$1"
}

# One value from a state report ("plugin queue overflow detected" ...), or
# "?" when the report lacks it.
# Usage: bench_state_value REPORT_FILE NAME
bench_state_value() {
    local value
    value=$(awk -v k="$2" -F' = ' '$1 == k { print $2; exit }' "$1" 2>/dev/null)
    echo "${value:-?}"
}

# Starts the BPF churn helper, one program freed every INTERVAL seconds; its
# rounds go to OUT, one line each.
# Usage: bench_start_churn INTERVAL OUT
bench_start_churn() {
    "$BUILD/bench/bench-bpf-churn" "$1" > "$2" 9>&- &
    bench_churn_pid=$!
}

# Stops the churn helper by its pid, waits for it, and removes any cgroup
# folder it left (it removes its own unless it was killed mid-round).
bench_stop_churn() {
    local pid=$bench_churn_pid mount
    [ -n "$pid" ] || return 0
    # Only the helper started here, not a process that took over its pid.
    if [ "$(readlink -f "/proc/$pid/exe" 2>/dev/null)" = "$(readlink -f "$BUILD/bench/bench-bpf-churn")" ]; then
        kill -TERM "$pid" 2>/dev/null || true
    fi
    wait "$pid" 2>/dev/null || true
    mount=$(awk '$3 == "cgroup2" { print $2; exit }' /proc/mounts)
    [ -z "$mount" ] || rmdir "$mount/velkoran-churn.$pid."* 2>/dev/null || true
    bench_churn_pid=""
    return 0
}

# CPU time (user + system, all threads) of process PID in clock ticks.
bench_cpu_ticks() {
    awk '{ print $14 + $15 }' "/proc/$1/stat" 2>/dev/null || echo 0
}
