#include "device/cec.h"

#include <fcntl.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <functional>

#include "core/palette.h"
#include "device/command.h"
#include "support/fake_cec_adapter.h"
#include "core/shared_defaults.h"

namespace lumetta {
namespace {

using testing::FakeCecDevice;
using testing::FakeCecIo;
using testing::TransmitOutcome;
using Bytes = std::vector<std::vector<std::uint8_t>>;

FakeCecDevice device(const std::string& name) {
    FakeCecDevice d;
    d.name = name;
    return d;
}

FakeCecDevice withoutTransmit(const std::string& name) {
    FakeCecDevice d = device(name);
    d.capabilities = CEC_CAP_LOG_ADDRS;
    return d;
}

FakeCecDevice configured(const std::string& name, std::uint8_t address) {
    FakeCecDevice d = device(name);
    d.logicalAddresses.num_log_addrs = 1;
    d.logicalAddresses.log_addr[0] = address;
    return d;
}

struct AdapterCase {
    const char* what;
    std::vector<FakeCecDevice> devices;
    std::string chosen;  // empty: none qualifies
    std::vector<std::string> opened;
};

TEST(CecAdapter, ChoosesTheFirstTransmittingCecDeviceInPathOrder) {
    FakeCecDevice closedDevice = device("cec0");
    closedDevice.opens = false;
    FakeCecDevice capsFail = device("cec0");
    capsFail.failingRequests[CEC_ADAP_G_CAPS] = EIO;

    const std::vector<AdapterCase> cases = {
        {"a device that cannot transmit is passed over", {device("cec1"), withoutTransmit("cec0")}, "cec1",
         {"cec0", "cec1"}},
        {"only cec plus digits counts",
         {device("cec"), device("cec0a"), device("xcec1"), device("cec-1"), device("cec7")}, "cec7", {"cec7"}},
        {"paths sort as text", {device("cec2"), device("cec10")}, "cec10", {"cec10"}},
        {"a device that does not open is passed over", {closedDevice, device("cec1")}, "cec1", {"cec1"}},
        {"a failing capability query is passed over", {capsFail, device("cec1")}, "cec1", {"cec0", "cec1"}},
        {"no adapter qualifies", {withoutTransmit("cec0"), device("cec")}, "", {"cec0"}},
        {"no devices at all", {}, "", {}},
    };
    for (const AdapterCase& c : cases) {
        SCOPED_TRACE(c.what);
        FakeCecIo io(c.devices, {"null", "tty0", "video0"});
        if (c.chosen.empty()) {
            try {
                findCecAdapter(io);
                ADD_FAILURE() << "an adapter was found";
            } catch (const std::runtime_error& error) {
                EXPECT_STREQ(error.what(), "No usable /dev/cec adapter found");
            }
        } else {
            CecAdapter adapter = findCecAdapter(io);
            EXPECT_GE(adapter.fd, 0);
            EXPECT_EQ(io.openedNames().back(), c.chosen);
            EXPECT_EQ(io.openDescriptors(), 1) << "passed-over devices must be closed";
        }
        EXPECT_EQ(io.openedNames(), c.opened);
        EXPECT_EQ(io.openDescriptors(), 0);
        for (int flags : io.openFlags()) EXPECT_EQ(flags, O_RDWR | O_CLOEXEC);
    }
}

TEST(CecAdapter, ClaimsAPlaybackAddressUnderTheProductLabel) {
    FakeCecIo io({device("cec0")});
    CecAdapter adapter = findCecAdapter(io);
    cec_log_addrs addresses = claimCecPlaybackAddress(io, adapter.fd);

    EXPECT_EQ(addresses.log_addr[0], 4) << "the kernel's answer is returned";
    const auto& claims = io.device("cec0").claims;
    ASSERT_EQ(claims.size(), 1u);
    const cec_log_addrs& claim = claims[0];
    EXPECT_EQ(claim.cec_version, CEC_OP_CEC_VERSION_2_0);
    EXPECT_EQ(claim.num_log_addrs, 1);
    EXPECT_EQ(claim.vendor_id, 0xFFFFFFFFu);
    EXPECT_EQ(claim.flags, 1u);
    EXPECT_STREQ(claim.osd_name, sharedDefaults().productLabel.substr(0, 14).c_str());
    EXPECT_EQ(std::string(claim.osd_name), "QUORVELA");
    EXPECT_EQ(claim.primary_device_type[0], 4);
    EXPECT_EQ(claim.log_addr_type[0], 3);
    EXPECT_EQ(claim.all_device_types[0], 0x10);
    EXPECT_EQ(claim.log_addr_mask, 0);
    for (const auto& features : claim.features) {
        for (std::uint8_t byte : features) EXPECT_EQ(byte, 0);
    }
    for (int i = 1; i < CEC_MAX_LOG_ADDRS; ++i) {
        EXPECT_EQ(claim.primary_device_type[i], 0);
        EXPECT_EQ(claim.log_addr_type[i], 0);
        EXPECT_EQ(claim.all_device_types[i], 0);
    }
}

TEST(CecAdapter, AnAdapterWithAddressesIsUsedWithoutClaiming) {
    FakeCecIo io({configured("cec0", 8)});
    CecAdapter adapter = findCecAdapter(io);
    EXPECT_EQ(claimCecPlaybackAddress(io, adapter.fd).log_addr[0], 8);
    EXPECT_TRUE(io.device("cec0").claims.empty());
}

TEST(CecAdapter, OnScreenNameIsCutToFourteenCharacters) {
    cec_log_addrs claim = playbackClaim("ABCDEFGHIJKLMNOPQRSTUVWXYZ");
    EXPECT_EQ(std::string(claim.osd_name), "ABCDEFGHIJKLMN");
    EXPECT_EQ(claim.osd_name[14], '\0');
    EXPECT_EQ(std::string(playbackClaim("").osd_name), "");
}

struct PowerCase {
    const char* what;
    FakeCecDevice adapter;
    bool on;
    Bytes expected;
};

TEST(CecSetPower, SendsTheExactMessagesInInitiatorMode) {
    FakeCecDevice unknownPhysical = device("cec0");
    unknownPhysical.physicalAddress = 0xFFFF;
    FakeCecDevice atPort = device("cec0");
    atPort.physicalAddress = 0x2100;

    const std::vector<PowerCase> cases = {
        {"on: Image View On to the television, then Active Source to all", atPort, true,
         {{0x40, 0x04}, {0x4F, 0x82, 0x21, 0x00}}},
        {"standby", device("cec0"), false, {{0x40, 0x36}}},
        {"the listener's address is the initiator", configured("cec0", 8), true, {{0x80, 0x04}, {0x8F, 0x82, 0x10, 0x00}}},
        {"an unknown physical address is sent as read", unknownPhysical, true, {{0x40, 0x04}, {0x4F, 0x82, 0xFF, 0xFF}}},
    };
    for (const PowerCase& c : cases) {
        SCOPED_TRACE(c.what);
        FakeCecIo io({c.adapter});
        EXPECT_EQ(cecSetPower(io, c.on), "");
        EXPECT_EQ(io.sentBytes("cec0"), c.expected);
        for (const cec_msg& msg : io.device("cec0").sent) {
            EXPECT_EQ(msg.timeout, 1000u);
            EXPECT_EQ(msg.reply, 0) << "no reply is awaited";
        }
        EXPECT_EQ(io.device("cec0").modes, std::vector<std::uint32_t>{CEC_MODE_INITIATOR});
        EXPECT_EQ(io.openDescriptors(), 0);
    }
}

struct FailureCase {
    const char* what;
    std::function<void(FakeCecDevice&)> script;
    bool on;
    std::string text;
    Bytes sent;
};

TEST(CecSetPower, ReportsEachFailureAsTextAndStopsThere) {
    const std::string ioError = std::strerror(EIO);
    const Bytes imageViewOn = {{0x40, 0x04}};
    const std::vector<FailureCase> cases = {
        {"not acknowledged: no Active Source after it",
         [](FakeCecDevice& d) { d.outcomes = {{0, CEC_TX_STATUS_NACK, 0}}; }, true,
         "CEC transmit was not acknowledged", imageViewOn},
        {"the television answers with Feature Abort",
         [](FakeCecDevice& d) {
             d.outcomes = {{0, CEC_TX_STATUS_OK, CEC_RX_STATUS_OK | CEC_RX_STATUS_FEATURE_ABORT}};
         },
         true, "CEC transmit was not acknowledged", imageViewOn},
        {"no status at all", [](FakeCecDevice& d) { d.outcomes = {{0, 0, 0}}; }, false,
         "CEC transmit was not acknowledged", {{0x40, 0x36}}},
        {"a failed reply wait", [](FakeCecDevice& d) { d.outcomes = {{0, CEC_TX_STATUS_OK, CEC_RX_STATUS_TIMEOUT}}; },
         false, "CEC transmit was not acknowledged", {{0x40, 0x36}}},
        {"Active Source not acknowledged",
         [](FakeCecDevice& d) { d.outcomes = {{}, {0, CEC_TX_STATUS_ARB_LOST, 0}}; }, true,
         "CEC transmit was not acknowledged", {{0x40, 0x04}, {0x4F, 0x82, 0x10, 0x00}}},
        {"the transmit call fails", [](FakeCecDevice& d) { d.outcomes = {{EIO, 0, 0}}; }, true,
         "CEC transmit failed: " + ioError, imageViewOn},
        {"reading the logical addresses fails",
         [](FakeCecDevice& d) { d.failingRequests[CEC_ADAP_G_LOG_ADDRS] = EIO; }, true,
         "Reading CEC logical addresses failed: " + ioError, {}},
        {"the claim fails", [](FakeCecDevice& d) { d.failingRequests[CEC_ADAP_S_LOG_ADDRS] = EIO; }, true,
         "Claiming a CEC playback address failed: " + ioError, {}},
        {"initiator mode fails", [](FakeCecDevice& d) { d.failingRequests[CEC_S_MODE] = EIO; }, false,
         "Enabling CEC initiator mode failed: " + ioError, {}},
        {"the physical address cannot be read",
         [](FakeCecDevice& d) { d.failingRequests[CEC_ADAP_G_PHYS_ADDR] = EIO; }, true,
         "Reading CEC physical address failed: " + ioError, imageViewOn},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.what);
        FakeCecDevice adapter = device("cec0");
        c.script(adapter);
        FakeCecIo io({adapter});
        EXPECT_EQ(cecSetPower(io, c.on), c.text);
        EXPECT_EQ(io.sentBytes("cec0"), c.sent);
        EXPECT_EQ(io.openDescriptors(), 0) << "the descriptor is closed on every road";
    }

    FakeCecIo none({withoutTransmit("cec0")});
    EXPECT_EQ(cecSetPower(none, true), "No usable /dev/cec adapter found");
    EXPECT_TRUE(none.device("cec0").sent.empty());
    EXPECT_EQ(none.openDescriptors(), 0);
}

TEST(CecErrnoMessage, AppendsTheSystemErrorText) {
    errno = ENOENT;
    EXPECT_EQ(std::string(errnoMessage("Opening failed").what()), std::string("Opening failed: ") + std::strerror(ENOENT));
}

struct TvPowerCase {
    std::string model;
    std::string state;
    Bytes sent;
};

TEST(CommandTvPower, ActsOnlyOnExactlyOnOrStandbyWithAKnownModel) {
    const std::string pi = "Raspberry Pi 4 Model B Rev 1.4";
    const std::vector<TvPowerCase> cases = {
        {pi, "on", {{0x40, 0x04}, {0x4F, 0x82, 0x10, 0x00}}},
        {pi, "standby", {{0x40, 0x36}}},
        {pi, "On", {}},
        {pi, "off", {}},
        {pi, "Standby", {}},
        {pi, " on", {}},
        {pi, "", {}},
        {"", "on", {}},
        {"", "standby", {}},
    };
    for (const TvPowerCase& c : cases) {
        SCOPED_TRACE("model '" + c.model + "', state '" + c.state + "'");
        FakeCecIo io({device("cec0")});
        CommandSeams seams;
        seams.model = c.model;
        seams.cecIo = &io;
        Command command(std::move(seams));
        EXPECT_EQ(command.setTvPower(c.state), "");
        EXPECT_EQ(io.sentBytes("cec0"), c.sent);
        if (c.sent.empty()) {
            EXPECT_TRUE(io.openedNames().empty()) << "nothing is done";
        }
    }
}

TEST(CommandTvPower, HandsOnTheCommandsErrorText) {
    FakeCecIo io({device("cec0")});
    io.device("cec0").outcomes = {{0, CEC_TX_STATUS_NACK, 0}};
    CommandSeams seams;
    seams.model = "Radxa ROCK 5B";
    seams.cecIo = &io;
    Command command(std::move(seams));
    EXPECT_EQ(command.setTvPower("on"), "CEC transmit was not acknowledged");

    FakeCecIo empty({});
    CommandSeams noAdapter;
    noAdapter.model = "Radxa ROCK 5B";
    noAdapter.cecIo = &empty;
    EXPECT_EQ(Command(std::move(noAdapter)).setTvPower("standby"), "No usable /dev/cec adapter found");
}

}  // namespace
}  // namespace lumetta
