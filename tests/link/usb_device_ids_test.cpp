#include <gtest/gtest.h>

#include "usb_device_ids.h"

namespace {

TEST(UsbDeviceIds, VendorAndProductFromHardwareAndInstanceIds) {
    EXPECT_EQ(UsbVidPidFromDeviceId(R"(USB\VID_0403&PID_6001&REV_0600)"), "0403:6001");
    EXPECT_EQ(UsbVidPidFromDeviceId(R"(usb\vid_067B&pid_2303\5&1a2b3c4d&0&2)"), "067b:2303");
    EXPECT_EQ(UsbVidPidFromDeviceId(R"(FTDIBUS\VID_0403+PID_6001+A6008ISPA\0000)"), "0403:6001");
    EXPECT_EQ(UsbVidPidFromDeviceId(R"(ACPI\PNP0501\1)"), "");
    EXPECT_EQ(UsbVidPidFromDeviceId(R"(USB\VID_04)"), "");
    EXPECT_EQ(UsbVidPidFromDeviceId(R"(USB\VID_04ZZ&PID_6001)"), "");
}

TEST(UsbDeviceIds, SerialOnlyWhenTheDeviceReportsOne) {
    EXPECT_EQ(UsbSerialFromInstanceId(R"(USB\VID_0403&PID_6001\A6008isP)"), "A6008isP");
    // Windows makes up an instance part with '&' for devices without a serial number.
    EXPECT_EQ(UsbSerialFromInstanceId(R"(USB\VID_067B&PID_2303\5&1A2B3C4D&0&2)"), "");
    EXPECT_EQ(UsbSerialFromInstanceId(R"(ACPI\PNP0501\1)"), "");
    EXPECT_EQ(UsbSerialFromInstanceId(R"(USB\)"), "");
    EXPECT_EQ(UsbSerialFromInstanceId(""), "");
}

}  // namespace
