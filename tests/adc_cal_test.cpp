// ADC calibration: the query, the special names and their request sequences, the table upload, the
// auto-calibration's acceptance windows, calibration files, reference readings, ADC_Initialize, the
// caller's block restored on every path, and failures.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "support/sim_fixture.h"

namespace korval::test {
namespace {

class Cal : public PathTest {
protected:
    std::vector<uint16_t> table(uint32_t board, bool bipolar) const
    {
        std::vector<uint16_t> t(65536);
        EXPECT_EQ(KorvalSim_GetAdcCalTable(sim_, board, bipolar ? 1 : 0, t.data(), 65536), 0u);
        return t;
    }
    // A caller's block the calibration must leave as it found it.
    std::vector<uint8_t> caller_block(uint32_t board) const
    {
        std::vector<uint8_t> block = {3, 3, 5, 5, 0, 0, 0, 0, 1, 1, 1, 1, 2, 2, 2, 2, 0, 0x11, 0x70, 7};
        EXPECT_EQ(KorvalSim_SetAdcConfig(sim_, board, block.data(), 20), 0u);
        return block;
    }
    void set_reference_word(uint32_t board, uint16_t word) const
    {
        const uint8_t bytes[2] = {static_cast<uint8_t>(word), static_cast<uint8_t>(word >> 8)};
        ASSERT_EQ(KorvalSim_EepromWrite(sim_, board, 0x1DF2, 2, bytes), 0u);
    }
    // The table-block requests (0xBB) in the log.
    std::vector<Expected> table_requests(uint32_t board) const
    {
        std::vector<Expected> out;
        for (const Expected& e : control_log(board))
            if (e.request == 0xBB && e.request_type == 0x40) out.push_back(e);
        return out;
    }
    // The calibration-mode bytes of the blocks written, in order.
    std::vector<uint8_t> modes_written(uint32_t board) const
    {
        std::vector<uint8_t> out;
        for (const Expected& e : control_log(board))
            if (e.request == 0xBE) out.push_back(e.data.at(16));
        return out;
    }
    std::string file(const std::string& name, size_t size, uint8_t seed) const
    {
        // Both transfer paths run as separate processes at once: the process id keeps their files apart.
        const std::string path = ::testing::TempDir() + std::to_string(getpid()) + "_" + name;
        std::vector<char> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>(i * 7 + seed);
        std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(size));
        return path;
    }
};

TEST_P(Cal, IdentityNamesUploadTwiceUnderBothModesAndRestoreTheBlock)
{
    const uint32_t board = install_one(0x8040, path());
    for (const char* name : {":1TO1:", ":NONE:"}) {
        const std::vector<uint8_t> block = caller_block(board);
        clear_log(board);
        ASSERT_EQ(ADC_SetCal(0, name), 0u) << name;
        const std::vector<Expected> log = control_log(board);
        EXPECT_EQ(log.front(), (Expected{0xC0, 0xBA, 0, 0, {}}));
        EXPECT_EQ(log[1], (Expected{0xC0, 0xD2, 0, 0, {}}));
        EXPECT_EQ(modes_written(board), (std::vector<uint8_t>{0x05, 0x01, 0x00}));
        EXPECT_EQ(log.back(), (Expected{0x40, 0xBE, 0, 0, block}));
        // 65 blocks per upload, the first sent twice.
        const std::vector<Expected> blocks = table_requests(board);
        ASSERT_EQ(blocks.size(), 130u);
        EXPECT_EQ(blocks[0], (Expected{0x40, 0xBB, 0, 1024, {}}));
        EXPECT_EQ(blocks[1], (Expected{0x40, 0xBB, 0, 1024, {}}));
        EXPECT_EQ(blocks[64], (Expected{0x40, 0xBB, 64512, 1024, {}}));
        EXPECT_EQ(adc_block(board), block);
        EXPECT_EQ(table(board, true)[12345], 12345);
    }
}

TEST_P(Cal, NominalTableFromTheReferenceWord)
{
    const uint32_t board = install_one(0x8040, path());  // reference word 0xFFFF: the nominal value
    ASSERT_EQ(ADC_SetCal(0, ":NORM:"), 0u);
    for (const bool bipolar : {false, true}) {
        const std::vector<uint16_t> t = table(board, bipolar);
        EXPECT_EQ(t[0], 0);
        EXPECT_EQ(t[66], 0);
        EXPECT_EQ(t[67], 1);
        EXPECT_EQ(t[65087], 65103);
        EXPECT_EQ(t[65518], 65534);
        EXPECT_EQ(t[65519], 65535);
        EXPECT_EQ(t[65535], 65535);
    }
    set_reference_word(board, 60000);
    ASSERT_EQ(ADC_SetCal(0, ":NORM:"), 0u);
    EXPECT_EQ(table(board, false)[65087], 60000);
}

TEST_P(Cal, NamesAreCaseSensitiveAndTheQueryComesFirst)
{
    const uint32_t board = install_one(0x8040, path());
    const std::vector<uint8_t> block = caller_block(board);
    EXPECT_EQ(ADC_SetCal(0, ":auto:"), 126u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xBA, 0, 0, {}}, {0xC0, 0xD2, 0, 0, {}},
                                                         {0x40, 0xBE, 0, 0, block}}));
    ASSERT_EQ(KorvalSim_SetAdcCalQueryReply(sim_, board, 0xBA), 0u);
    clear_log(board);
    EXPECT_EQ(ADC_QueryCal(0), 50u);
    EXPECT_EQ(ADC_SetCal(0, ":AUTO:"), 50u);
    EXPECT_EQ(control_log(board).size(), 2u);  // the two queries alone
    ASSERT_EQ(KorvalSim_SetAdcCalQueryReply(sim_, board, 0xBB), 0u);
    EXPECT_EQ(ADC_QueryCal(0), 0u);
    short_next(board, KORVAL_SIM_CONTROL, 0xBA, 0);
    EXPECT_EQ(ADC_QueryCal(0), 50u);
    EXPECT_EQ(ADC_SetCal(0, nullptr), 87u);
}

TEST_P(Cal, AutoCalibrationFitsBothTables)
{
    const uint32_t board = install_one(0x8040, path());
    set_reference_word(board, 64000);
    const std::vector<uint8_t> block = caller_block(board);
    ASSERT_EQ(ADC_SetCal(0, ":AUTO:"), 0u);
    // Two passes: block, identity upload, high and low reading (block, count, start each), table upload.
    EXPECT_EQ(modes_written(board), (std::vector<uint8_t>{0x05, 0x07, 0x05, 0x01, 0x03, 0x01, 0x00}));
    EXPECT_EQ(table_requests(board).size(), 4u * 65);
    EXPECT_EQ(adc_block(board), block);
    // The high reference reads 64,000 in 0 to 10 V and 64,768 in ±10 V; the low one 0 and 32,768.
    const std::vector<uint16_t> unipolar = table(board, false);
    EXPECT_EQ(unipolar[0], 0);
    EXPECT_EQ(unipolar[64000], 64000);
    const std::vector<uint16_t> bipolar = table(board, true);
    EXPECT_EQ(bipolar[32768], 32768);
    EXPECT_EQ(bipolar[64768], 32000 + 32768);
}

TEST_P(Cal, AutoCalibrationAcceptanceWindows)
{
    // The ±10 V high reading is (word + 65,536) / 2, the 0 to 10 V one the word itself; a low reference
    // of v volts reads 32,768 + v * 3,276.8 in ±10 V and v * 6,553.6 in 0 to 10 V. The table uploads
    // tell how far the calibration went: 65 blocks per upload, two uploads per pass.
    struct Case {
        uint16_t word;
        double low_volts;
        uint32_t result;
        size_t blocks;
    };
    const Case cases[] = {
        {57342, 0.0, 13, 65},                     // high 61,439 in pass 0
        {57344, 0.0, 13, 3 * 65},                 // high exactly 61,440 accepted; 57,344 fails pass 1
        {64000, -0.078125, 0, 4 * 65},            // low 32,512 accepted in pass 0 (and 0 in pass 1)
        {64000, -0.0783, 13, 65},                 // low 32,511 in pass 0
        {64000, 510.0 / 65536 * 10, 13, 3 * 65},  // low 33,023 accepted in pass 0, 510 fails pass 1
        {64000, 0.0781, 13, 65},                  // low 33,024 in pass 0
        {64000, 255.0 / 65536 * 10, 0, 4 * 65},   // low 255 accepted in pass 1
    };
    const uint32_t board = install_one(0x8040, path());
    for (const Case& c : cases) {
        set_reference_word(board, c.word);
        ASSERT_EQ(KorvalSim_SetAdcLowReference(sim_, board, c.low_volts), 0u);
        const std::vector<uint8_t> block = caller_block(board);
        clear_log(board);
        EXPECT_EQ(ADC_SetCal(0, ":AUTO:"), c.result) << c.word << " " << c.low_volts;
        EXPECT_EQ(table_requests(board).size(), c.blocks) << c.word << " " << c.low_volts;
        EXPECT_EQ(adc_block(board), block);
    }
}

TEST_P(Cal, FilesOfExactlyOneTable)
{
    const uint32_t board = install_one(0x8040, path());
    const std::vector<uint8_t> block = caller_block(board);
    EXPECT_EQ(ADC_SetCal(0, file("short.bin", 131071, 1).c_str()), 38u);
    EXPECT_TRUE(table_requests(board).empty());
    EXPECT_EQ(ADC_SetCal(0, (::testing::TempDir() + "missing.bin").c_str()), 2u);
    EXPECT_EQ(adc_block(board), block);

    clear_log(board);
    ASSERT_EQ(ADC_SetCal(0, file("long.bin", 131073, 5).c_str()), 0u);
    // Uploaded once, under the caller's block: no block is written before the restore.
    EXPECT_EQ(table_requests(board).size(), 65u);
    EXPECT_EQ(modes_written(board), (std::vector<uint8_t>{0x00}));
    const std::vector<uint16_t> t = table(board, false);
    EXPECT_EQ(t[0], static_cast<uint16_t>(5 | 12 << 8));
    EXPECT_EQ(t[65535], static_cast<uint16_t>(uint8_t(131070 * 7 + 5) | uint8_t(131071 * 7 + 5) << 8));
    EXPECT_EQ(t, table(board, true));
}

TEST_P(Cal, FailuresAreReportedAndTheBlockIsNeverZeroed)
{
    const uint32_t board = install_one(0x8040, path());
    std::vector<uint8_t> block = caller_block(board);
    // The first upload fails, the second succeeds: the first failure is the result, after the restore.
    fail_next(board, KORVAL_SIM_BULK_OUT, 0x02, 21);
    EXPECT_EQ(ADC_SetCal(0, ":NORM:"), 21u);
    EXPECT_EQ(table_requests(board).size(), 65u);
    EXPECT_EQ(adc_block(board), block);
    // The request that places a block fails: the upload failed.
    fail_next(board, KORVAL_SIM_CONTROL, 0xBB, 31);
    EXPECT_EQ(ADC_SetCal(0, ":1TO1:"), 31u);
    // A block that could not be saved is never written back.
    fail_next(board, KORVAL_SIM_CONTROL, 0xD2, 31);
    clear_log(board);
    EXPECT_EQ(ADC_SetCal(0, ":NORM:"), 31u);
    EXPECT_EQ(modes_written(board), std::vector<uint8_t>{});
    EXPECT_EQ(adc_block(board), block);
    // A reference reading that does not come.
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 1), 0u);
    EXPECT_EQ(ADC_SetCal(0, ":AUTO:"), 1460u);
    EXPECT_EQ(adc_block(board), block);
    double volts = 0;
    EXPECT_EQ(ADC_GetCalRefV(0, 1, &volts), 1460u);
    EXPECT_EQ(adc_block(board), block);
    // Unplugged during an upload.
    ASSERT_EQ(KorvalSim_SetAdcStopped(sim_, board, 0), 0u);
    fail_next(board, KORVAL_SIM_BULK_OUT, 0x02, 1167);
    EXPECT_EQ(ADC_SetCal(0, ":1TO1:"), 1617u);
    EXPECT_EQ(ADC_QueryCal(0), 1617u);
}

// An upload fails, then a later step fails too: the first failure is the result, after the restore.
TEST_P(Cal, FirstFailureWinsOverALaterOne)
{
    struct Case {
        const char* name;
        uint32_t later_request;  // the request of the later step that fails
        uint32_t passed_first;   // uses of that request that pass before it fails
    };
    const uint32_t board = install_one(0x8040, path());
    const std::vector<uint8_t> block = caller_block(board);
    for (const Case& c : {Case{":1TO1:", 0xBE, 1}, Case{":NORM:", 0xBE, 1}, Case{":AUTO:", 0xBC, 0}}) {
        SCOPED_TRACE(c.name);
        fail_next(board, KORVAL_SIM_BULK_OUT, 0x02, ERROR_NOT_READY);
        if (c.passed_first > 0) report_next(board, KORVAL_SIM_CONTROL, c.later_request, 0, c.passed_first);
        fail_next(board, KORVAL_SIM_CONTROL, c.later_request, ERROR_SHARING_VIOLATION);
        EXPECT_EQ(ADC_SetCal(0, c.name), ERROR_NOT_READY);
        EXPECT_EQ(adc_block(board), block);
        KorvalSim_ClearFaults(sim_, board);
    }
}

TEST_P(Cal, ReferenceReadingsInTheCallersRange)
{
    const uint32_t board = install_one(0x8040, path());
    std::vector<uint8_t> block = caller_block(board);
    block[0] = 0;  // range slot 0: 0 to 10 V
    ASSERT_EQ(KorvalSim_SetAdcConfig(sim_, board, block.data(), 20), 0u);
    double volts = -1;
    ASSERT_EQ(ADC_GetCalRefV(0, 1, &volts), 0u);
    EXPECT_DOUBLE_EQ(volts, 65103.0 / 65536 * 10);
    EXPECT_EQ(modes_written(board).front(), 0x03);
    EXPECT_EQ(adc_block(board), block);
    block[0] = 1;  // ±10 V
    ASSERT_EQ(KorvalSim_SetAdcConfig(sim_, board, block.data(), 20), 0u);
    ASSERT_EQ(ADC_GetCalRefV(0, 0, &volts), 0u);
    EXPECT_DOUBLE_EQ(volts, 0.0);
    clear_log(board);
    EXPECT_EQ(ADC_GetCalRefV(0, 2, &volts), 1413u);
    EXPECT_EQ(control_log(board), (std::vector<Expected>{{0xC0, 0xD2, 0, 0, {}}, {0x40, 0xBE, 0, 0, block}}));
    EXPECT_EQ(ADC_GetCalRefV(0, 0, nullptr), 87u);
}

TEST_P(Cal, InitializeSetsTheBlockThenTheCalibration)
{
    EXPECT_EQ(ADC_Initialize(5, nullptr, nullptr, nullptr), 0u);  // nothing to do, no board asked
    const uint32_t board = install_one(0x8040, path());
    std::vector<uint8_t> block(20, 2);
    uint32_t size = 20;
    ASSERT_EQ(ADC_Initialize(0, block.data(), &size, ":1TO1:"), 0u);
    EXPECT_EQ(adc_block(board), block);
    EXPECT_EQ(table_requests(board).size(), 130u);
    size = 0;  // no block: only the calibration
    EXPECT_EQ(ADC_Initialize(0, block.data(), &size, ":bad:"), 126u);
    size = 4;
    EXPECT_EQ(ADC_Initialize(0, block.data(), &size, ":1TO1:"), 122u);
    EXPECT_EQ(ADC_Initialize(0, block.data(), nullptr, nullptr), 87u);
}

TEST_P(Cal, EveryAnalogInputFunctionNeedsTheBulkSection)
{
    install_one(0x8001, path());
    double volts = 0;
    uint16_t counts = 0;
    EXPECT_EQ(ADC_QueryCal(0), 1349u);
    EXPECT_EQ(ADC_SetCal(0, ":NORM:"), 1349u);
    EXPECT_EQ(ADC_GetCalRefV(0, 0, &volts), 1349u);
    EXPECT_EQ(ADC_GetScan(0, &counts), 1349u);
    EXPECT_EQ(ADC_GetScanV(0, &volts), 1349u);
    EXPECT_EQ(ADC_GetTrigScan(0, &counts, 1), 1349u);
    EXPECT_EQ(ADC_GetTrigScanV(0, &volts, 1), 1349u);
    EXPECT_EQ(ADC_GetChannelV(0, 0, &volts), 1349u);
    EXPECT_EQ(ADC_GetImmediate(0, 0, &counts), 1349u);
}

TEST_P(Cal, EveryFunctionRunsOnEachFamilyWithTheBulkSection)
{
    struct Family {
        uint32_t pid;
        uint32_t channels;
    };
    for (const Family f : {Family{0x8040, 16}, Family{0x8045, 64}, Family{0x804A, 32}, Family{0x805E, 160},
                           Family{0x8140, 16}}) {
        SCOPED_TRACE(f.pid);
        const uint32_t board = add(f.pid, path());
        install();
        ASSERT_EQ(GetDevices(), 1u);
        KorvalSimAdcSignal signal{};
        signal.offset = 1.5;
        ASSERT_EQ(KorvalSim_SetAdcSignal(sim_, board, KORVAL_SIM_ALL_CHANNELS, &signal), 0u);
        ASSERT_EQ(ADC_SetScanLimits(0, 0, f.channels - 1), 0u);
        std::vector<double> volts(256, -1);
        std::vector<uint16_t> counts(256);
        EXPECT_EQ(ADC_GetScanV(0, volts.data()), 0u);
        EXPECT_NEAR(volts[f.channels - 1], 1.5, 10.0 / 65536);
        EXPECT_EQ(volts[f.channels], -1);
        EXPECT_EQ(ADC_GetScan(0, counts.data()), 0u);
        EXPECT_EQ(ADC_GetTrigScanV(0, volts.data(), 1), 1460u);
        EXPECT_EQ(ADC_GetTrigScan(0, counts.data(), 1), 1460u);
        double one = 0;
        EXPECT_EQ(ADC_GetChannelV(0, f.channels - 1, &one), 0u);
        uint16_t word = 0;
        EXPECT_EQ(ADC_GetImmediate(0, 0, &word), 0u);
        EXPECT_EQ(ADC_Start(0), 0u);
        EXPECT_EQ(ADC_Stop(0), 0u);
        uint8_t block[21] = {};
        block[17] = 1;
        uint32_t size = 21;
        EXPECT_EQ(ADC_Initialize(0, block, &size, ":NORM:"), 0u);
        EXPECT_EQ(ADC_QueryCal(0), 0u);
        EXPECT_EQ(ADC_GetCalRefV(0, 1, &one), 0u);
        std::vector<uint8_t> data(1000);
        int32_t left = -1;
        EXPECT_EQ(ADC_BulkAcquire(0, 1000, data.data()), 0u);
        EXPECT_EQ(ADC_BulkAbort(0), 0u);
        const uint32_t polled = ADC_BulkPoll(0, &left);
        EXPECT_TRUE(polled == 995 || (polled == 0 && left == 0)) << polled;
        KORVAL_InstallHost(nullptr);
        KorvalSim_Unplug(sim_, board);  // out of the next family's enumeration
    }
}

KORVAL_BOTH_PATHS(Cal);

}  // namespace
}  // namespace korval::test
