// Sending path datagrams to the local scanning agent.
#include "agent/agent.h"

#include <cerrno>
#include <cstring>

int agent_socket_fd = -1;
struct sockaddr_un agent_address;

// Longest uid in decimal: 4294967295.
static constexpr size_t UID_DIGITS_MAX = 10;

// Opens the datagram socket and stores the agent's address, cut to 107 bytes.
int open_agent_socket(std::string const& socket_path)
{
    agent_socket_fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (agent_socket_fd == -1)
        return errno;
    memset(&agent_address, 0, sizeof agent_address);
    agent_address.sun_family = AF_UNIX;
    strncpy(agent_address.sun_path, socket_path.c_str(), sizeof agent_address.sun_path - 1);
    return 0;
}

// Builds one datagram for path and sends it; nothing is queued or retried.
void send_path_to_agent(std::string const& path, file_type_e type, uint32_t uid)
{
    char tag;
    if (type == FILE_TYPE_DIRECTORY)
        tag = 'D';
    else if (type == FILE_TYPE_REGULAR)
        tag = 'F';
    else
        return;
    if (path.empty())
        return;

    bool add_slash = type == FILE_TYPE_DIRECTORY && path.back() != '/';

    // "2:" tag ":" uid ":" path ["/"]; the uid digits are written backwards.
    char uid_text[UID_DIGITS_MAX];
    size_t uid_len = 0;
    do {
        uid_text[UID_DIGITS_MAX - 1 - uid_len++] = static_cast<char>('0' + uid % 10);
        uid /= 10;
    } while (uid != 0);

    // One buffer for the life of the process: after the first long path no
    // send allocates.
    static std::string datagram;
    datagram.clear();
    datagram += "2:";
    datagram += tag;
    datagram += ':';
    datagram.append(uid_text + UID_DIGITS_MAX - uid_len, uid_len);
    datagram += ':';
    datagram += path;
    if (add_slash)
        datagram += '/';

    sendto(agent_socket_fd, datagram.data(), datagram.size(), 0,
           reinterpret_cast<struct sockaddr const*>(&agent_address), AGENT_ADDRESS_LENGTH);
}
