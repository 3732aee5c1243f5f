// The simulated MSP430: reset and loader entry, the ROM loader's frames and
// commands, password, flash rules and the RAM patch, driven directly.
#include "sim/board/sample_images.h"
#include "sim/board/state.h"
#include "tests/sim/board_driver.h"

#include <gtest/gtest.h>

namespace {

using sim::board::BoardDriver;
using sim::board::Mode;
using Bytes = std::vector<std::uint8_t>;

const Bytes MASS_ERASE = {0x80, 0x18, 0x04, 0x04, 0x00, 0x00, 0x06, 0xA5, 0x7D, 0x46};
const Bytes LOAD_PC_LOADER = {0x80, 0x1A, 0x04, 0x04, 0x22, 0x0C, 0x00, 0x00, 0x59, 0xED};
const Bytes LOAD_PC_PATCH = {0x80, 0x1A, 0x04, 0x04, 0x20, 0x02, 0x00, 0x00, 0x5B, 0xE3};
const Bytes TX_PATCH = {0x80, 0x14, 0x04, 0x04, 0x20, 0x02, 0xC2, 0x00, 0x99, 0xED};

class Loader : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset_clock(); }
    void TearDown() override { sim::reset_clock(); }
    static sim::board::BoardState factory() { return sim::board::factory_board(); }
    static Bytes patch() {
        return Bytes(sim::board::LOADER_PATCH.begin(), sim::board::LOADER_PATCH.end());
    }
    // The 32 bytes of the vectors: the password of a programmed chip.
    static Bytes vectors(const BoardDriver &d) {
        return Bytes(d.chip.state().main.end() - 32, d.chip.state().main.end());
    }
};

TEST_F(Loader, EntryPatternStartsTheLoaderOtherPatternsTheProgram) {
    BoardDriver d(factory());
    ASSERT_EQ(d.chip.mode(), Mode::Running);
    d.entry_pattern();
    EXPECT_EQ(d.chip.mode(), Mode::Loader);
    EXPECT_EQ(d.exchange({0x80}), BoardDriver::ack());

    // RST released while TCK is high: a plain reset.
    d.entry_pattern(true);
    EXPECT_EQ(d.chip.mode(), Mode::Running);
    EXPECT_TRUE(d.exchange({0x80}).empty());

    // A single fall of TCK while RST is low is not enough.
    d.play({{true, false, 1000}, {false, false, 100}, {false, true, 50}, {true, true, 2000}});
    EXPECT_EQ(d.chip.mode(), Mode::Running);
}

TEST_F(Loader, TckPulsesShorterThanTenMicrosecondsAreNotSeen) {
    BoardDriver d(factory());
    d.play({{true, false, 1000},
            {false, false, 100}, // a real fall
            {true, false, 100},
            {false, false, 20}, // second fall, but TCK bounces high for 5 us
            {true, false, 5},
            {false, false, 50},
            {false, true, 50},
            {true, true, 0}});
    // The glitch did not count as a third fall nor undo the second: loader.
    EXPECT_EQ(d.chip.mode(), Mode::Loader);

    // A second TCK low of only 5 us does not count.
    d.play({{true, false, 1000},
            {false, false, 100},
            {true, false, 100},
            {false, false, 5},
            {true, false, 100},
            {true, true, 0}});
    EXPECT_EQ(d.chip.mode(), Mode::Running);
}

TEST_F(Loader, ListensOneMillisecondAfterReset) {
    BoardDriver d(factory());
    d.play({{true, false, 1000},
            {false, false, 100},
            {true, false, 100},
            {false, false, 50},
            {false, true, 900}});
    d.chip.on_byte(0x80, sim::format_8e1(), sim::now()); // a SYNC ending 0.9 ms after RST rose
    BoardDriver::wait_us(2000);
    EXPECT_TRUE(d.out.empty());
    EXPECT_EQ(d.exchange({0x80}), BoardDriver::ack());
}

TEST_F(Loader, UpdaterFramesAreAcceptedAndAnsweredInTime) {
    BoardDriver d(factory());
    d.entry_pattern();
    d.out.clear();
    ASSERT_EQ(d.exchange({0x80}), BoardDriver::ack());
    d.out.clear();
    d.send_bsl(MASS_ERASE);
    sim::Nanos sent = sim::now();
    sim::advance(30 * sim::NS_PER_MS);
    ASSERT_EQ(d.out.size(), 1u);
    EXPECT_EQ(d.out[0].byte, 0x90);
    EXPECT_GE(d.out[0].start - sent, 20 * sim::NS_PER_MS); // the erase takes its time
    EXPECT_LE(d.out[0].start - sent, 20 * sim::NS_PER_MS + 100 * sim::NS_PER_US);

    ASSERT_EQ(d.password(), BoardDriver::ack());
    ASSERT_EQ(d.write(0x0220, patch()), BoardDriver::ack());
    d.exchange({0x80});
    Bytes got = d.exchange(TX_PATCH, 400);
    ASSERT_EQ(got.size(), 200u);
    EXPECT_EQ(Bytes(got.begin(), got.begin() + 4), (Bytes{0x80, 0x00, 0xC2, 0xC2}));
    EXPECT_EQ(Bytes(got.begin() + 4, got.end() - 2), patch());
    std::uint8_t lo = 0, hi = 0;
    for (std::size_t i = 0; i < 198; ++i)
        (i % 2 == 0 ? lo : hi) ^= got[i];
    EXPECT_EQ(got[198], static_cast<std::uint8_t>(~lo));
    EXPECT_EQ(got[199], static_cast<std::uint8_t>(~hi));

    d.exchange({0x80});
    EXPECT_EQ(d.exchange(LOAD_PC_PATCH), BoardDriver::ack());
    d.exchange({0x80});
    EXPECT_EQ(d.exchange(LOAD_PC_LOADER), BoardDriver::ack());
    EXPECT_EQ(d.chip.mode(), Mode::Loader);
}

TEST_F(Loader, OneBitChangeInAFrameIsAnsweredNak) {
    BoardDriver d(factory());
    d.entry_pattern();
    ASSERT_EQ(d.mass_erase(), BoardDriver::ack());
    ASSERT_EQ(d.password(), BoardDriver::ack());
    ASSERT_EQ(d.write(0x0220, patch()), BoardDriver::ack());
    for (const Bytes &good : {MASS_ERASE, LOAD_PC_LOADER, LOAD_PC_PATCH, TX_PATCH}) {
        for (std::size_t i = 0; i < good.size(); ++i) {
            for (int bit = 0; bit < 8; ++bit) {
                Bytes bad = good;
                bad[i] = static_cast<std::uint8_t>(bad[i] ^ (1u << bit));
                ASSERT_EQ(d.exchange({0x80}, 2), BoardDriver::ack());
                EXPECT_EQ(d.exchange(bad), BoardDriver::nak())
                    << "frame " << int(good[1]) << " byte " << i << " bit " << bit;
            }
        }
    }
    // Nothing of the refused frames was executed.
    EXPECT_EQ(d.chip.mode(), Mode::Loader);
    EXPECT_EQ(d.password(), BoardDriver::ack());
}

TEST_F(Loader, PasswordAndItsLossOnRestart) {
    BoardDriver d(factory());
    d.entry_pattern();
    // The erased-flash password only fits an erased chip; the vectors always fit.
    EXPECT_EQ(d.password(0xFF), BoardDriver::nak());
    EXPECT_EQ(d.read(0x0220, 4), Bytes{});
    EXPECT_EQ(d.load_pc(0x0C22), BoardDriver::nak());
    EXPECT_EQ(d.password(vectors(d)), BoardDriver::ack());
    EXPECT_EQ(d.read(0x0220, 4).size(), 4u);

    ASSERT_EQ(d.mass_erase(), BoardDriver::ack());
    EXPECT_EQ(d.password(0xFF), BoardDriver::ack());
    EXPECT_EQ(d.write(0x0220, {1, 2, 3, 4}), BoardDriver::ack());

    // A restart of the loader through its entry forgets the password.
    EXPECT_EQ(d.load_pc(0x0C22), BoardDriver::ack());
    EXPECT_EQ(d.write(0x0220, {1, 2, 3, 4}), BoardDriver::nak());
    EXPECT_EQ(d.password(0xFF), BoardDriver::ack());
    EXPECT_EQ(d.write(0x0220, {1, 2, 3, 4}), BoardDriver::ack());

    // So does a new entry through reset.
    d.entry_pattern();
    EXPECT_EQ(d.write(0x0220, {1, 2, 3, 4}), BoardDriver::nak());
}

TEST_F(Loader, FlashBitsOnlyFallAndEachDataBlockNeedsAPatchRun) {
    BoardDriver d(factory());
    ASSERT_TRUE(d.prepare_for_flashing());

    // Without a patch run the loader acknowledges the write but does nothing,
    // and reads flash as 0x3F.
    EXPECT_EQ(d.write(0xC000, {0x12, 0x34}), BoardDriver::ack());
    EXPECT_EQ(d.read(0xC000, 2), (Bytes{0x3F, 0x3F}));
    ASSERT_EQ(d.load_pc(0x0220), BoardDriver::ack());
    EXPECT_EQ(d.read(0xC000, 2), (Bytes{0xFF, 0xFF}));

    // A patch run serves exactly one data block.
    ASSERT_EQ(d.load_pc(0x0220), BoardDriver::ack());
    d.out.clear();
    ASSERT_EQ(d.write(0xC000, {0xF0, 0x0F, 0xAA, 0x55, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}),
              BoardDriver::ack());
    EXPECT_EQ(d.read(0xC000, 2), (Bytes{0x3F, 0x3F}));
    ASSERT_EQ(d.load_pc(0x0220), BoardDriver::ack());
    ASSERT_EQ(d.write(0xC000, {0x3C, 0x3C, 0xFF, 0x0F}), BoardDriver::ack());
    ASSERT_EQ(d.load_pc(0x0220), BoardDriver::ack());
    EXPECT_EQ(d.read(0xC000, 4), (Bytes{0x30, 0x0C, 0xAA, 0x05}));

    // Information memory follows the same rules; RAM needs no patch.
    EXPECT_EQ(d.write(0x1000, {0x00, 0x00}), BoardDriver::ack());
    EXPECT_EQ(d.chip.peek(0x1000), 0xFF);
    EXPECT_EQ(d.write(0x0300, {0x42, 0x43}), BoardDriver::ack());
    EXPECT_EQ(d.read(0x0300, 2), (Bytes{0x42, 0x43}));
    // Writes outside the memories, and blocks against the loader guide's rules
    // (odd address or length, more than 250 bytes): refused, nothing written.
    EXPECT_EQ(d.write(0x0500, {0x42, 0x43}), BoardDriver::nak());
    EXPECT_EQ(d.write(0x0302, {0x44}), BoardDriver::nak());
    EXPECT_EQ(d.write(0x0301, {0x44, 0x45}), BoardDriver::nak());
    EXPECT_EQ(d.read(0x0300, 4), (Bytes{0x42, 0x43, 0x00, 0x00}));
    EXPECT_EQ(d.read(0x0300, 3), Bytes{});
    EXPECT_EQ(d.read(0x0301, 2), Bytes{});
    EXPECT_EQ(d.read(0x0200, 252), Bytes{});
}

// Loader 1.61 serves flash blocks without a patch, and hangs on the 1.10
// procedure's jumps; only it knows TX loader version.
TEST_F(Loader, Loader161NeedsNoPatchAndHangsOnThe110Procedure) {
    const Bytes tx_version = BoardDriver::frame(0x1E, 0, 0);
    for (std::uint16_t jump : {sim::board::LOADER_ENTRY, sim::board::PATCH_ADDRESS}) {
        sim::board::BoardState state = factory();
        state.settings.loader = sim::board::LOADER_1_61;
        BoardDriver d(state);
        d.entry_pattern();
        ASSERT_EQ(d.mass_erase(), BoardDriver::ack());
        ASSERT_EQ(d.password(), BoardDriver::ack());
        EXPECT_EQ(d.read(0x0FFA, 2), (Bytes{0x01, 0x61}));
        Bytes id = d.command(tx_version, 400);
        ASSERT_EQ(id.size(), 22u);
        EXPECT_EQ(id[14], 0x01);
        EXPECT_EQ(id[15], 0x61);
        ASSERT_EQ(d.write(0xC000, {0x12, 0x34}), BoardDriver::ack());
        EXPECT_EQ(d.read(0xC000, 2), (Bytes{0x12, 0x34}));
        EXPECT_EQ(d.load_pc(jump), BoardDriver::ack());
        EXPECT_EQ(d.chip.mode(), Mode::Hung);
        EXPECT_TRUE(d.exchange({0x80}).empty());
    }
    BoardDriver d(factory());
    ASSERT_TRUE(d.prepare_for_flashing());
    EXPECT_EQ(d.command(tx_version), BoardDriver::nak());
}

TEST_F(Loader, ReadsAnyAddressOnceThePasswordIsGiven) {
    BoardDriver d(factory());
    d.entry_pattern();
    // The identification read independent clients start with, as they send it.
    const Bytes read_id = {0x80, 0x14, 0x04, 0x04, 0xF0, 0x0F, 0x10, 0x00, 0x9B, 0xE0};
    EXPECT_EQ(d.command(read_id), BoardDriver::nak());
    ASSERT_EQ(d.password(vectors(d)), BoardDriver::ack());
    Bytes id = d.command(read_id, 400);
    ASSERT_EQ(id.size(), 22u);
    EXPECT_EQ(Bytes(id.begin() + 4, id.begin() + 6), (Bytes{0xF1, 0x49}));   // an F149
    EXPECT_EQ(Bytes(id.begin() + 14, id.begin() + 16), (Bytes{0x01, 0x10})); // loader 1.10

    Bytes ram_tail(16);
    for (std::size_t i = 0; i < ram_tail.size(); ++i)
        ram_tail[i] = static_cast<std::uint8_t>(i + 1);
    ASSERT_EQ(d.write(0x03F0, ram_tail), BoardDriver::ack());
    Bytes past_ram = ram_tail;
    past_ram.insert(past_ram.end(), 16, 0xFF);
    struct Row {
        std::uint16_t address;
        std::uint16_t count;
        Bytes want;
    };
    const Row rows[] = {
        {0x03F0, 32, past_ram},                // RAM, then unused space
        {0x0120, 2, {0x00, 0x00}},             // a peripheral register
        {0x0BFE, 4, {0xFF, 0xFF, 0x00, 0x00}}, // unused, then boot ROM
        {0x10FE, 4, {0x3F, 0x3F, 0xFF, 0xFF}}, // unpatched flash, then unused
        {0xFFFE, 4, {0x3F, 0x3F, 0x00, 0x00}}, // the address wraps to the peripherals
    };
    for (const Row &r : rows)
        EXPECT_EQ(d.read(r.address, r.count), r.want) << std::hex << r.address;
}

TEST_F(Loader, EraseWordsDecideWhatIsErased) {
    struct Row {
        std::uint8_t cmd;
        std::uint16_t address;
        std::uint16_t word;
        bool ack;
        // Erased ranges of main and information memory, [first, end).
        std::uint32_t main_first, main_end, info_first, info_end;
    };
    const Row rows[] = {
        {0x16, 0xC2FE, 0xA502, true, 0xC200, 0xC400, 0, 0},            // one main segment
        {0x16, 0x1085, 0xA502, true, 0, 0, 0x1080, 0x1100},            // one info segment
        {0x16, 0xC000, 0xA504, true, 0xC000, 0x10000, 0, 0},           // main memory
        {0x16, 0x1000, 0xA504, true, 0xC000, 0x10000, 0, 0},           // also from info
        {0x16, 0xC000, 0xA506, true, 0xC000, 0x10000, 0x1000, 0x1100}, // all flash
        {0x16, 0x1000, 0xA506, true, 0xC000, 0x10000, 0x1000, 0x1100}, // also from info
        {0x18, 0x0000, 0xA506, true, 0xC000, 0x10000, 0x1000, 0x1100}, // mass erase
        {0x16, 0xC000, 0xA500, false, 0, 0, 0, 0},                     // no erase bits
        {0x16, 0xC000, 0x5A02, false, 0, 0, 0, 0},                     // wrong key
        {0x16, 0x0300, 0xA502, false, 0, 0, 0, 0},                     // not flash
    };
    for (const Row &r : rows) {
        auto s = sim::board::erased_state();
        s.main.fill(0x00);
        s.info.fill(0x00);
        BoardDriver d(s);
        d.entry_pattern();
        ASSERT_EQ(d.password(0x00), BoardDriver::ack());
        EXPECT_EQ(d.command(BoardDriver::frame(r.cmd, r.address, r.word)),
                  r.ack ? BoardDriver::ack() : BoardDriver::nak())
            << std::hex << r.word << " at " << r.address;
        for (std::uint32_t a = 0x1000; a < 0x10000; ++a) {
            bool main = a >= 0xC000;
            if (!main && a >= 0x1100)
                continue;
            bool erased =
                main ? a >= r.main_first && a < r.main_end : a >= r.info_first && a < r.info_end;
            ASSERT_EQ(d.chip.peek(static_cast<std::uint16_t>(a)), erased ? 0xFF : 0x00)
                << std::hex << r.word << " at " << r.address << ": byte " << a;
        }
    }
}

TEST_F(Loader, FlashWriteTakesTheByteTimeOfEachByte) {
    BoardDriver d(factory());
    ASSERT_TRUE(d.prepare_for_flashing());
    ASSERT_EQ(d.load_pc(0x0220), BoardDriver::ack());
    ASSERT_EQ(d.exchange({0x80}), BoardDriver::ack());
    d.out.clear();
    d.send_bsl(BoardDriver::frame(0x12, 0xC000, 16, Bytes(16, 0x11)));
    sim::Nanos sent = sim::now();
    sim::advance(5 * sim::NS_PER_MS);
    ASSERT_EQ(d.out.size(), 1u);
    EXPECT_GE(d.out[0].start - sent, 16 * sim::board::FLASH_BYTE_TIME);
}

TEST_F(Loader, WrongPatchImageHangsTheChipUntilReset) {
    BoardDriver d(factory());
    ASSERT_TRUE(d.prepare_for_flashing());
    ASSERT_EQ(d.write(0x0220 + 100, {0x00, 0x00}), BoardDriver::ack()); // the patch spoiled
    EXPECT_EQ(d.load_pc(0x0220), BoardDriver::ack());
    EXPECT_EQ(d.chip.mode(), Mode::Hung);
    EXPECT_TRUE(d.exchange({0x80}).empty());
    d.entry_pattern();
    EXPECT_EQ(d.exchange({0x80}), BoardDriver::ack());
}

TEST_F(Loader, LoadPcIntoFlashStartsTheProgramErasedFlashHangs) {
    BoardDriver d(factory());
    d.entry_pattern();
    ASSERT_EQ(d.password(vectors(d)), BoardDriver::ack());
    EXPECT_EQ(d.load_pc(0xC000), BoardDriver::ack());
    EXPECT_EQ(d.chip.mode(), Mode::Running);
    EXPECT_EQ(d.modbus(":030300030001F6\r\n"), ":03030201F304\r\n");

    d.entry_pattern();
    ASSERT_EQ(d.mass_erase(), BoardDriver::ack());
    ASSERT_EQ(d.password(), BoardDriver::ack());
    EXPECT_EQ(d.load_pc(0xC000), BoardDriver::ack());
    EXPECT_EQ(d.chip.mode(), Mode::Hung);
    EXPECT_TRUE(d.exchange({0x80}).empty());
}

TEST_F(Loader, ErasedResetVectorHangsTheChip) {
    BoardDriver d(factory());
    d.entry_pattern();
    ASSERT_EQ(d.mass_erase(), BoardDriver::ack());
    d.play({{true, false, 1000}, {true, true, 2000}});
    EXPECT_EQ(d.chip.mode(), Mode::Hung);
    EXPECT_TRUE(d.modbus(":030300010001F8\r\n").empty());
    EXPECT_TRUE(d.exchange({0x80}).empty());
}

TEST_F(Loader, LineFormatErrorsAreDropped) {
    BoardDriver d(factory());
    d.entry_pattern();
    sim::FrameFormat odd = sim::format_8e1(BoardDriver::RATE);
    odd.even = false;
    EXPECT_TRUE(d.exchange({0x80}, 30, odd).empty());
    EXPECT_TRUE(d.exchange({0x80}, 30, sim::format_8e1(4800)).empty());
    EXPECT_EQ(d.exchange({0x80}), BoardDriver::ack());
}

// ---- injected faults ----

TEST_F(Loader, FaultLoaderSilentKeepsTheProgramRunning) {
    auto s = factory();
    s.faults.loader_silent = true;
    BoardDriver d(s);
    d.entry_pattern();
    EXPECT_EQ(d.chip.mode(), Mode::Running);
    EXPECT_TRUE(d.exchange({0x80}).empty());
}

TEST_F(Loader, FaultEraseSilentNeitherErasesNorAnswers) {
    auto s = factory();
    s.faults.erase_silent = true;
    BoardDriver d(s);
    d.entry_pattern();
    EXPECT_TRUE(d.mass_erase().empty());
    EXPECT_EQ(d.password(0xFF), BoardDriver::nak()); // still the old vectors
}

TEST_F(Loader, FaultNakAfterRefusesTheNthFrameOfAnEntry) {
    auto s = factory();
    s.faults.nak_after = 2;
    BoardDriver d(s);
    d.entry_pattern();
    EXPECT_EQ(d.mass_erase(), BoardDriver::ack());
    EXPECT_EQ(d.password(), BoardDriver::nak());
    EXPECT_EQ(d.password(), BoardDriver::ack());
    d.entry_pattern(); // counted anew
    EXPECT_EQ(d.password(), BoardDriver::ack());
    EXPECT_EQ(d.password(), BoardDriver::nak());
}

TEST_F(Loader, FaultCorruptReadbackSpoilsOneByte) {
    auto s = factory();
    s.faults.corrupt_readback = 0x0222;
    BoardDriver d(s);
    ASSERT_TRUE(d.prepare_for_flashing());
    Bytes got = d.read(0x0220, 194);
    ASSERT_EQ(got.size(), 194u);
    Bytes want = patch();
    EXPECT_NE(got[2], want[2]);
    got[2] = want[2];
    EXPECT_EQ(got, want);
    EXPECT_EQ(d.chip.peek(0x0222), want[2]); // memory itself is sound
}

TEST_F(Loader, FaultDropByteLosesTheNthByteReceived) {
    auto s = factory();
    s.faults.drop_byte = 1;
    BoardDriver d(s);
    d.entry_pattern();
    EXPECT_TRUE(d.exchange({0x80}).empty());
    EXPECT_EQ(d.exchange({0x80}), BoardDriver::ack());
    EXPECT_EQ(d.chip.bytes_received(), 2);
}

TEST_F(Loader, FaultPowerCutRestartsFromTheResetVector) {
    // Cut after the mass erase: no program left, the chip hangs.
    auto s = factory();
    s.faults.power_cut_after = 1;
    BoardDriver d(s);
    ASSERT_EQ(d.write(0x0220, {}), Bytes{}); // not in the loader: nothing happens
    d.entry_pattern();
    EXPECT_EQ(d.mass_erase(), BoardDriver::ack());
    EXPECT_EQ(d.chip.mode(), Mode::Hung);
    EXPECT_TRUE(d.exchange({0x80}).empty());

    // Cut after the patch has been loaded: RAM lost, the old program runs.
    auto t = factory();
    t.faults.power_cut_after = 2;
    BoardDriver e(t);
    e.entry_pattern();
    ASSERT_EQ(e.password(vectors(e)), BoardDriver::ack());
    ASSERT_EQ(e.write(0x0220, patch()), BoardDriver::ack());
    EXPECT_EQ(e.chip.mode(), Mode::Running);
    EXPECT_EQ(e.chip.peek(0x0220), 0x00);
    EXPECT_EQ(e.modbus(":030300030001F6\r\n"), ":03030201F304\r\n");
}

} // namespace
