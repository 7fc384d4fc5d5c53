// Loading velkoran.ini into the configuration tree.
#include "frame/config.h"

#include <cerrno>
#include <locale>
#include <sstream>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/property_tree/ini_parser.hpp>

// Reads file into text if it is a regular file of at most CONFIG_SIZE_MAX
// bytes; false for anything else (missing, unreadable, a FIFO or device,
// too large, a read error). The open cannot block on a FIFO.
static bool read_config_file(std::string const& file, std::string& text)
{
    int fd = open(file.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd == -1)
        return false;
    struct stat info;
    bool ok = fstat(fd, &info) == 0 && S_ISREG(info.st_mode) &&
              static_cast<size_t>(info.st_size) <= CONFIG_SIZE_MAX;
    char buffer[4096];
    while (ok) {
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0)
            break;
        if (n < 0) {
            ok = errno == EINTR;
            continue;
        }
        // A file that grew since fstat is held to the same bound.
        ok = text.size() + static_cast<size_t>(n) <= CONFIG_SIZE_MAX;
        if (ok)
            text.append(buffer, static_cast<size_t>(n));
    }
    close(fd);
    return ok;
}

// Parses the INI file; any error of the reader leaves every default in place.
ptree load_config(std::string const& config_dir)
{
    ptree result;
    ptree parsed;
    std::string const file = config_dir + "/velkoran.ini";
    std::string text;
    if (read_config_file(file, text)) {
        std::istringstream stream(text);
        stream.imbue(std::locale());
        try {
            boost::property_tree::ini_parser::read_ini(stream, parsed);
        } catch (boost::property_tree::ini_parser::ini_parser_error const&) {
            // Malformed: the defaults below apply.
        }
    }
    result.put("data_directory", parsed.get("data_directory", std::string(DEFAULT_DATA_DIRECTORY)));
    result.put("log_directory", parsed.get("log_directory", std::string(DEFAULT_LOG_DIRECTORY)));
    result.put("realtime.key", parsed.get("realtime.key", std::string(DEFAULT_AUDIT_KEY)));
    return result;
}
