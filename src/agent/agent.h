// The agent socket and the path datagram: the plugin's whole output towards
// the local scanning agent.
#pragma once

#include <cstdint>
#include <string>

#include <sys/socket.h>
#include <sys/un.h>

// Kind of object a reported path names; only directories and regular files
// are ever sent.
enum file_type_e {
    FILE_TYPE_OTHER = 0,     // neither, or unknown: never sent
    FILE_TYPE_DIRECTORY = 1, // a directory: kind tag "D", path ends in "/"
    FILE_TYPE_REGULAR = 2,   // a regular file: kind tag "F"
};

// Process-wide agent socket, written once by open_agent_socket before the
// audit parser exists and only read by send_path_to_agent afterwards.
extern int agent_socket_fd;             // blocking AF_UNIX datagram socket, never bound or connected; -1 before opening
extern struct sockaddr_un agent_address; // the agent's socket path, cut to 107 bytes, zero-filled after it

// Size of the address passed to every sendto: the whole structure (110).
constexpr socklen_t AGENT_ADDRESS_LENGTH = sizeof(struct sockaddr_un);

// Creates the agent socket and fills the agent address from socket_path.
// Returns 0, or the errno of a failed socket() (the descriptor is then -1).
int open_agent_socket(std::string const& socket_path);

// Formats "2:<D|F>:<uid>:<path>" and sends it to the agent with one sendto.
// Other kinds and empty paths send nothing; send failures are ignored.
void send_path_to_agent(std::string const& path, file_type_e type, uint32_t uid);
