// The plugin's configuration: three settings read once from velkoran.ini.
#pragma once

#include <string>

#include <boost/property_tree/ptree.hpp>

using boost::property_tree::ptree;

// Defaults for settings missing from the file (or for a file that cannot be
// read or parsed).
constexpr char const* DEFAULT_CONFIG_DIRECTORY = "/etc/velkoran";
constexpr char const* DEFAULT_DATA_DIRECTORY = "/var/lib/velkoran";
constexpr char const* DEFAULT_LOG_DIRECTORY = "/var/log/velkoran";
constexpr char const* DEFAULT_AUDIT_KEY = "velkoran";

// Reads <config_dir>/velkoran.ini and returns a tree holding exactly
// data_directory, log_directory and realtime.key, defaults filled in.
// Never throws for any state of the file and prints nothing.
ptree load_config(std::string const& config_dir);
