// Test fixtures on simulated boards: every test starts from a freshly installed simulated host, and
// reads the boards' transfer logs as plain structs.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "korval/host.h"
#include "korval/korval.h"
#include "korval/sim.h"

namespace korval::test {

// One logged transfer.
struct Transfer {
    KorvalSimTransfer info{};
    std::vector<uint8_t> data;

    uint8_t request_type() const { return info.setup[0]; }
    uint8_t request() const { return info.setup[1]; }
    uint16_t value() const { return static_cast<uint16_t>(info.setup[2] | info.setup[3] << 8); }
    uint16_t index() const { return static_cast<uint16_t>(info.setup[4] | info.setup[5] << 8); }
    uint16_t length() const { return static_cast<uint16_t>(info.setup[6] | info.setup[7] << 8); }
};

// Expected control transfer, for comparing logs in one assertion.
struct Expected {
    uint8_t request_type;
    uint8_t request;
    uint16_t value;
    uint16_t index;
    std::vector<uint8_t> data;  // OUT: the data stage sent; IN: not compared when empty
    bool operator==(const Expected&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Expected& e);

// The transfer log of a simulated board.
std::vector<Transfer> sim_log(KorvalSim* sim, uint32_t board);

class SimTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Attaches a board (before install(), or before GetDevices() finds it later).
    uint32_t add(uint32_t pid, uint32_t path = KORVAL_SIM_WINUSB);
    // Installs the simulated host: every slot empty, one discovery pass.
    void install();
    // install() with one board, opened: returns its board number; the board is in slot 0.
    uint32_t install_one(uint32_t pid, uint32_t path = KORVAL_SIM_WINUSB);

    std::vector<Transfer> log(uint32_t board) const { return sim_log(sim_, board); }
    // The control transfers of the log (descriptor reads made by the open check excluded), as Expected.
    std::vector<Expected> control_log(uint32_t board, bool with_in_data = false) const;
    void clear_log(uint32_t board) const { KorvalSim_ClearLog(sim_, board); }
    // The analog-input configuration block the board holds (20 or 21 bytes).
    std::vector<uint8_t> adc_block(uint32_t board) const;

    void fail_next(uint32_t board, uint32_t kind, uint32_t request, uint32_t error, uint32_t count = 1) const;
    void short_next(uint32_t board, uint32_t kind, uint32_t request, uint32_t bytes, uint32_t count = 1) const;
    void report_next(uint32_t board, uint32_t kind, uint32_t request, uint32_t bytes, uint32_t count = 1) const;

    KorvalSim* sim_ = nullptr;
};

// The same tests on both driver paths.
class PathTest : public SimTest, public ::testing::WithParamInterface<uint32_t> {
protected:
    uint32_t path() const { return GetParam(); }
    bool ioctl() const { return GetParam() == KORVAL_SIM_IOCTL; }
};

std::string path_name(const ::testing::TestParamInfo<uint32_t>& info);

#define KORVAL_BOTH_PATHS(suite) \
    INSTANTIATE_TEST_SUITE_P(Paths, suite, ::testing::Values(KORVAL_SIM_WINUSB, KORVAL_SIM_IOCTL), \
                             ::korval::test::path_name)

}  // namespace korval::test
