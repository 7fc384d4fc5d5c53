// Reading mount tables and mapping a path of one table onto another.
#include "intake/mounts.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <sys/sysmacros.h>
#include <unistd.h>

// Undoes the kernel's escapes in a mountinfo path: a space, tab, newline
// and backslash are written as "\040", "\011", "\012" and "\134".
static std::string unescaped(std::string const& field)
{
    std::string path;
    path.reserve(field.size());
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' && field[i + 2] >= '0' && field[i + 2] <= '7' &&
            field[i + 3] >= '0' && field[i + 3] <= '7') {
            path += static_cast<char>((field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0'));
            i += 3;
        } else {
            path += field[i];
        }
    }
    return path;
}

// Parses one mountinfo line ("ID PARENT MAJOR:MINOR ROOT POINT ...").
static bool parse_mount_line(std::string const& line, mount_t& mount)
{
    std::string fields[5];
    size_t at = 0;
    for (std::string& field : fields) {
        size_t const end = line.find(' ', at);
        field = line.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (end == std::string::npos && &field != &fields[4])
            return false;
        at = end + 1;
    }
    char* end = nullptr;
    unsigned long const major_number = strtoul(fields[2].c_str(), &end, 10);
    if (end == fields[2].c_str() || *end != ':')
        return false;
    char const* minor_text = end + 1;
    unsigned long const minor_number = strtoul(minor_text, &end, 10);
    if (end == minor_text || *end != '\0')
        return false;
    mount.dev = makedev(static_cast<unsigned int>(major_number), static_cast<unsigned int>(minor_number));
    mount.root = unescaped(fields[3]);
    mount.point = unescaped(fields[4]);
    return !mount.root.empty() && mount.root[0] == '/' && !mount.point.empty() && mount.point[0] == '/';
}

// Splits text into lines and parses each.
bool parse_mount_table(std::string const& text, std::vector<mount_t>& mounts)
{
    mounts.clear();
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        mount_t mount;
        if (!parse_mount_line(text.substr(at, end - at), mount)) {
            mounts.clear();
            return false;
        }
        mounts.push_back(std::move(mount));
        at = end + 1;
    }
    return true;
}

// Reads the whole file with pread from its start, then parses it.
bool read_mount_table(int fd, std::vector<mount_t>& mounts)
{
    mounts.clear();
    std::string text;
    char buffer[16384];
    for (;;) {
        ssize_t const n = pread(fd, buffer, sizeof buffer, static_cast<off_t>(text.size()));
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || text.size() + static_cast<size_t>(n) > MOUNT_TABLE_SIZE_MAX)
            return false;
        if (n == 0)
            return parse_mount_table(text, mounts);
        text.append(buffer, static_cast<size_t>(n));
    }
}

// The part of path after prefix, when prefix is path itself or one of its
// folders ("/" holds everything); "" for path itself.
static bool rest_after(std::string const& path, std::string const& prefix, std::string& rest)
{
    if (prefix == "/") {
        rest = path == "/" ? "" : path;
        return true;
    }
    if (path.compare(0, prefix.size(), prefix) != 0 || (path.size() > prefix.size() && path[prefix.size()] != '/'))
        return false;
    rest = path.substr(prefix.size());
    return true;
}

// Joins a folder and a rest that is empty or begins with "/".
static std::string joined(std::string const& folder, std::string const& rest)
{
    if (rest.empty())
        return folder;
    if (folder == "/")
        return rest;
    return folder + rest;
}

// Finds their mount, then maps its root onto each of ours.
std::vector<std::string> host_candidates(std::vector<mount_t> const& theirs, std::vector<mount_t> const& ours,
                                         std::string const& name)
{
    std::vector<std::string> candidates;
    mount_t const* holder = nullptr;
    std::string in_mount; // the rest of name below holder's mount point
    for (mount_t const& m : theirs) {
        std::string rest;
        if (rest_after(name, m.point, rest) && (holder == nullptr || m.point.size() >= holder->point.size())) {
            holder = &m;
            in_mount = rest;
        }
    }
    if (holder == nullptr)
        return candidates;
    // The name's path from the top of its file system.
    std::string const in_fs = joined(holder->root, in_mount);
    std::vector<mount_t const*> mapped;
    for (mount_t const& m : ours) {
        std::string rest;
        if (m.dev == holder->dev && rest_after(holder->root, m.root, rest))
            mapped.push_back(&m);
    }
    std::stable_sort(mapped.begin(), mapped.end(),
                     [](mount_t const* a, mount_t const* b) { return a->root.size() > b->root.size(); });
    for (mount_t const* m : mapped) {
        std::string rest;
        rest_after(in_fs, m->root, rest);
        candidates.push_back(joined(m->point, rest));
    }
    return candidates;
}
