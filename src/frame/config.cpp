// Loading velkoran.ini into the configuration tree.
#include "frame/config.h"

#include <locale>

#include <boost/property_tree/ini_parser.hpp>

// Parses the INI file; any error of the reader leaves every default in place.
ptree load_config(std::string const& config_dir)
{
    ptree result;
    ptree parsed;
    std::string const file = config_dir + "/velkoran.ini";
    try {
        boost::property_tree::ini_parser::read_ini(file, parsed, std::locale());
    } catch (boost::property_tree::ini_parser::ini_parser_error const&) {
        // Missing, unreadable or malformed: the defaults below apply.
    }
    result.put("data_directory", parsed.get("data_directory", std::string(DEFAULT_DATA_DIRECTORY)));
    result.put("log_directory", parsed.get("log_directory", std::string(DEFAULT_LOG_DIRECTORY)));
    result.put("realtime.key", parsed.get("realtime.key", std::string(DEFAULT_AUDIT_KEY)));
    return result;
}
