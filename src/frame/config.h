// The plugin's configuration: three settings read once from velkoran.ini.
#pragma once

#include <cstddef>
#include <string>

#include <boost/property_tree/ptree.hpp>

using boost::property_tree::ptree;

// Defaults for settings missing from the file (or for a file that cannot be
// read or parsed).
constexpr char const* DEFAULT_CONFIG_DIRECTORY = "/etc/velkoran";
constexpr char const* DEFAULT_DATA_DIRECTORY = "/var/lib/velkoran";
constexpr char const* DEFAULT_LOG_DIRECTORY = "/var/log/velkoran";
constexpr char const* DEFAULT_AUDIT_KEY = "velkoran";

// Largest velkoran.ini read, far above any real configuration; a larger
// file counts as unreadable.
constexpr size_t CONFIG_SIZE_MAX = size_t{1} << 20;

// Reads <config_dir>/velkoran.ini and returns a tree holding exactly
// data_directory, log_directory and realtime.key, defaults filled in. A
// path that is not a regular file (a FIFO, a device) or a file larger than
// CONFIG_SIZE_MAX gives the defaults, as a missing one does, without
// blocking. Throws nothing but a failure to allocate, and prints nothing.
ptree load_config(std::string const& config_dir);
