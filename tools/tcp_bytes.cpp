// Bytes a TCP socket took off the wire, from the kernel's own count. Apart
// from the rest of the load tool: glibc's <netinet/tcp.h>, which Asio
// includes, has an older tcp_info without the byte counts.
#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

long long tcp_bytes_received(int fd);

long long tcp_bytes_received(int fd)
{
    tcp_info info {};
    socklen_t len = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &len) != 0)
        return -1;
    return static_cast<long long>(info.tcpi_bytes_received);
}
