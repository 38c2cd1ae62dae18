// The choice of a device from --device or VARNESK_DEVICE among what OpenCL
// offers: auto takes a GPU only (OpenCL on the CPU when a test allows it),
// gpu without one is refused with a message, and without any device auto is
// the CPU alone.
#include <gtest/gtest.h>

#include "gpu/opencl.h"

namespace varnesk::gpu {
namespace {

DeviceInfo Device(int platform, int device, bool gpuType) {
    DeviceInfo d;
    d.platform = platform;
    d.device = device;
    d.name = gpuType ? "card" : "cpu-opencl";
    d.gpuType = gpuType;
    return d;
}

TEST(DeviceChoice, ParsesTheFourFormsAndRefusesTheRest) {
    struct Case {
        const char* text;
        bool ok;
        DeviceChoice::Kind kind;
        bool indexed;
        int platform, device;
    };
    const Case cases[] = {
        {"auto", true, DeviceChoice::kAuto, false, 0, 0},
        {"cpu", true, DeviceChoice::kCpu, false, 0, 0},
        {"gpu", true, DeviceChoice::kGpu, false, 0, 0},
        {"gpu:1:2", true, DeviceChoice::kGpu, true, 1, 2},
        {"gpu:0:10", true, DeviceChoice::kGpu, true, 0, 10},
        {"gpu:1", false, DeviceChoice::kAuto, false, 0, 0},
        {"gpu:1:2:3", false, DeviceChoice::kAuto, false, 0, 0},
        {"gpu:-1:0", false, DeviceChoice::kAuto, false, 0, 0},
        {"gpu:a:b", false, DeviceChoice::kAuto, false, 0, 0},
        {"gpu:2147483647:0", true, DeviceChoice::kGpu, true, 2147483647, 0},
        {"gpu:4294967296:0", false, DeviceChoice::kAuto, false, 0, 0},  // once taken as gpu:0:0
        {"gpu:0:2147483648", false, DeviceChoice::kAuto, false, 0, 0},
        {"gpu:+1:0", false, DeviceChoice::kAuto, false, 0, 0},
        {"gpu: 1:0", false, DeviceChoice::kAuto, false, 0, 0},
        {"gpu:1:", false, DeviceChoice::kAuto, false, 0, 0},
        {"GPU", false, DeviceChoice::kAuto, false, 0, 0},
        {"", false, DeviceChoice::kAuto, false, 0, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        DeviceChoice choice;
        std::string error;
        ASSERT_EQ(ParseDeviceChoice(c.text, &choice, &error), c.ok) << error;
        if (!c.ok) {
            EXPECT_NE(error.find(std::string("device ") + c.text + ":"), std::string::npos) << error;
            continue;
        }
        EXPECT_EQ(choice.kind, c.kind);
        EXPECT_EQ(choice.indexed, c.indexed);
        EXPECT_EQ(choice.platform, c.platform);
        EXPECT_EQ(choice.device, c.device);
    }
    // A number that does not fit is named as given.
    DeviceChoice choice;
    std::string error;
    EXPECT_FALSE(ParseDeviceChoice("gpu:0:99999999999999999999", &choice, &error));
    EXPECT_EQ(error, "device gpu:0:99999999999999999999: the device number 99999999999999999999 is out of range "
                     "(from 0 to 2147483647)");
}

TEST(DeviceChoice, AutoTakesOnlyAGpuAndGpuIsRefusedWithoutOne) {
    const std::vector<DeviceInfo> none, cpuOnly = {Device(0, 0, false)},
                                        both = {Device(0, 0, false), Device(1, 0, true), Device(1, 1, true)};
    struct Case {
        const char* name;
        const char* choice;
        const std::vector<DeviceInfo>* devices;
        bool allowCpuType;
        bool chosen;
        int platform, device;
        const char* refusal;  // part of the message, or "" for none
    };
    const Case cases[] = {
        {"no device: auto is the CPU", "auto", &none, false, false, 0, 0, ""},
        {"no device: gpu refused", "gpu", &none, false, false, 0, 0, "no OpenCL device is present"},
        {"no device: an index refused", "gpu:0:0", &none, false, false, 0, 0, "no OpenCL device is present"},
        {"OpenCL on the CPU: auto stays on the CPU", "auto", &cpuOnly, false, false, 0, 0, ""},
        {"OpenCL on the CPU: gpu refused", "gpu", &cpuOnly, false, false, 0, 0, "offers no GPU"},
        {"OpenCL on the CPU named", "gpu:0:0", &cpuOnly, false, true, 0, 0, ""},
        {"OpenCL on the CPU allowed by a test", "auto", &cpuOnly, true, true, 0, 0, ""},
        {"auto takes the first GPU", "auto", &both, false, true, 1, 0, ""},
        {"gpu takes the first GPU", "gpu", &both, false, true, 1, 0, ""},
        {"an index takes that device", "gpu:1:1", &both, false, true, 1, 1, ""},
        {"an index OpenCL lacks", "gpu:2:0", &both, false, false, 0, 0, "OpenCL has no such device"},
        {"cpu never takes a device", "cpu", &both, true, false, 0, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        DeviceChoice choice;
        std::string error;
        ASSERT_TRUE(ParseDeviceChoice(c.choice, &choice, &error));
        DeviceInfo chosen;
        ASSERT_EQ(ResolveDevice(choice, *c.devices, c.allowCpuType, &chosen, &error), c.chosen) << error;
        if (c.chosen) {
            EXPECT_EQ(chosen.platform, c.platform);
            EXPECT_EQ(chosen.device, c.device);
        }
        if (*c.refusal) {
            EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
        } else {
            EXPECT_TRUE(error.empty()) << error;
        }
    }
}

}  // namespace
}  // namespace varnesk::gpu
