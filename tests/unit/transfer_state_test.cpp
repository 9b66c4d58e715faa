#include <gtest/gtest.h>

#include "control_ids.h"
#include "device_choice.h"
#include "transfer_state.h"

namespace {

TEST(TransferState, StartsWithItsStartValues) {
    const TransferState state;
    EXPECT_EQ(state.g_bPortOpen.load(), 0);
    EXPECT_EQ(state.g_hComm.load(), kInvalidPortHandle);
    EXPECT_EQ(state.g_pImage.load(), nullptr);
    EXPECT_EQ(state.g_nImageSize.load(), 1000);
    EXPECT_EQ(state.g_nOffset.load(), 0);
    EXPECT_EQ(state.g_nBlockLen.load(), 0);
    EXPECT_EQ(state.g_nSentCount.load(), 0);
    EXPECT_EQ(state.g_bGoAhead.load(), 0);
    EXPECT_EQ(state.g_pTransferThread, nullptr);
    for (const auto byte : state.g_Frame) {
        ASSERT_EQ(byte, 0);
    }
}

TEST(TransferState, SharedFlagsNeedNoLock) {
    EXPECT_TRUE(std::atomic<PortHandle>::is_always_lock_free);
    EXPECT_TRUE(std::atomic<std::int32_t>::is_always_lock_free);
}

TEST(DeviceChoice, IsThreeBytesInDialogOrder) {
    const DeviceChoice choice{5, 1, 2};
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&choice);
    EXPECT_EQ(bytes[0], 5);
    EXPECT_EQ(bytes[1], 1);
    EXPECT_EQ(bytes[2], 2);
    EXPECT_EQ(WM_DEVICE_SELECTED, 2028);
}

}  // namespace
