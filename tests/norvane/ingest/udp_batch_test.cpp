#include "kelvra/norvane/ingest/udp_batch.hpp"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kelvra/core/unique_fd.hpp"
#include "support/process_runner.hpp"

namespace kelvra::norvane {
namespace {

TEST(SendBatch, ARefusedDatagramIsReportedAndTheOthersStillGoInOrder) {
    sockaddr_in to{};
    sockaddr_in from{};
    const UniqueFd receiver = testing::loopback_socket(SOCK_DGRAM, to);
    const UniqueFd sender = testing::loopback_socket(SOCK_DGRAM, from);
    sockaddr_in nowhere = to;
    nowhere.sin_port = 0;  // the kernel refuses to send there

    SendBatch batch;
    const std::string texts[] = {"first", "refused", "third", "too long for a slot of the batch!"};
    EXPECT_TRUE(batch.add(reinterpret_cast<const uint8_t*>(texts[0].data()), 5, to, {}));
    EXPECT_TRUE(
        batch.add(reinterpret_cast<const uint8_t*>(texts[1].data()), 7, nowhere, {true, 7, 3}));
    EXPECT_TRUE(batch.add(reinterpret_cast<const uint8_t*>(texts[2].data()), 5, to, {}));
    EXPECT_FALSE(
        batch.add(reinterpret_cast<const uint8_t*>(texts[3].data()), texts[3].size(), to, {}));

    std::vector<SendBatch::Tag> refused;
    batch.flush(sender.get(), [&](const SendBatch::Tag& tag) { refused.push_back(tag); });
    ASSERT_EQ(refused.size(), 1u);
    EXPECT_EQ(refused[0].sequence_number, 7u);
    EXPECT_EQ(refused[0].fragment_id, 3u);
    EXPECT_EQ(batch.size(), 0u);

    ReceiveBatch received;
    ASSERT_EQ(received.receive(receiver.get()), 2);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(received.data(i)), received.size(i)),
                  texts[2 * i]);
        EXPECT_EQ(received.sender(i).sin_port, from.sin_port);
    }
    EXPECT_EQ(received.receive(receiver.get()), 0) << "nothing queued: no wait, no error";
}

}  // namespace
}  // namespace kelvra::norvane
