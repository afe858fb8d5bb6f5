// hold_udp_port PORT PROGRAM [ARGUMENTS...]: binds a UDP socket to PORT on every address, without
// address reuse, and runs PROGRAM with the socket still open, so that nobody else can bind there.
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: hold_udp_port PORT PROGRAM [ARGUMENTS...]\n");
        return 2;
    }
    const int fd = ::socket(AF_INET, SOCK_DGRAM, 0);  // inherited by PROGRAM
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<std::uint16_t>(std::atoi(argv[1])));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        std::perror("hold_udp_port");
        return 2;
    }
    ::execvp(argv[2], argv + 2);
    std::perror("hold_udp_port");
    return 2;
}
