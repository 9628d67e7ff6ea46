#include "kelvra/norvane/ingest/receiving_socket.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <utility>

#include "support/log_capture.hpp"
#include "support/process_runner.hpp"

namespace kelvra::norvane {
namespace {

sockaddr_in local_address(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof(address);
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

// The lowest free descriptor number: unchanged across a call that leaks nothing.
int lowest_free_fd() {
    const int fd = dup(STDIN_FILENO);
    close(fd);
    return fd;
}

TEST(ReceivingSocket, BindsAnIpv4DatagramSocketOnTheGivenAddress) {
    for (const auto& [text, address] :
         {std::pair{"127.0.0.1", INADDR_LOOPBACK}, std::pair{"0.0.0.0", INADDR_ANY}}) {
        SCOPED_TRACE(text);
        const uint16_t port = testing::free_udp_port();
        const UniqueFd fd = open_receiving_socket(text, port);
        ASSERT_TRUE(fd);
        const sockaddr_in bound = local_address(fd.get());
        EXPECT_EQ(bound.sin_family, AF_INET);
        EXPECT_EQ(ntohs(bound.sin_port), port);
        EXPECT_EQ(ntohl(bound.sin_addr.s_addr), address);
    }
}

TEST(ReceivingSocket, RefusedAddressesAndPortsInUseAreLoggedAndLeakNoSocket) {
    const uint16_t port = testing::free_udp_port();
    const UniqueFd holder = open_receiving_socket("127.0.0.1", port);
    ASSERT_TRUE(holder);
    testing::LogCapture log;
    const int free_fd = lowest_free_fd();
    for (const char* address : {"localhost", "::1", "127.0.0.256"}) {
        EXPECT_FALSE(open_receiving_socket(address, 0));
        EXPECT_EQ(log.count("critical", std::string("Wrong listen ip address ") + address), 1);
    }
    EXPECT_FALSE(open_receiving_socket("127.0.0.1", port));
    EXPECT_EQ(log.count("critical", "Failed to bind socket to address."), 1);
    EXPECT_EQ(lowest_free_fd(), free_fd);
}

}  // namespace
}  // namespace kelvra::norvane
