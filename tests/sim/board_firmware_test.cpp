// The simulated TARVO board's firmware (MODBUS slave), the sample images, the
// board state kept in the world, and the faults of the firmware side.
#include "sim/board/info.h"
#include "sim/board/sample_images.h"
#include "sim/board/state.h"
#include "sim/boards.h"
#include "sim/controller/controller.h"
#include "sim/world.h"
#include "tests/sim/board_driver.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace {

using namespace sim::board;
using Bytes = std::vector<std::uint8_t>;

const std::string REG1 = ":030300010001F8\r\n";
const std::string REG2 = ":030300020001F7\r\n";
const std::string REG3 = ":030300030001F6\r\n";

class Firmware : public ::testing::Test {
  protected:
    void SetUp() override { sim::reset_clock(); }
    void TearDown() override { sim::reset_clock(); }
};

std::string reply_for(std::uint16_t value) {
    return modbus_ascii({0x03, 0x03, 0x02, static_cast<std::uint8_t>(value >> 8),
                         static_cast<std::uint8_t>(value & 0xFF)});
}

TEST_F(Firmware, AnswersTheThreeRegistersOfEachSampleImage) {
    BoardDriver factory(factory_board());
    // Literal replies of the factory image, LRC included.
    EXPECT_EQ(factory.modbus(REG1), ":0303020100F7\r\n");
    EXPECT_EQ(factory.modbus(REG2), ":0303020000F8\r\n");
    EXPECT_EQ(factory.modbus(REG3), ":03030201F304\r\n");
    for (const SampleImage &sample : sample_images()) {
        BoardDriver d(factory_state(make_sample_image(sample)));
        EXPECT_EQ(d.modbus(REG1), reply_for(static_cast<std::uint16_t>(sample.version >> 16)))
            << sample.file;
        EXPECT_EQ(d.modbus(REG2), reply_for(static_cast<std::uint16_t>(sample.version)))
            << sample.file;
        EXPECT_EQ(d.modbus(REG3), reply_for(sample.config)) << sample.file;
    }
}

TEST_F(Firmware, ExceptionRepliesAndSilence) {
    BoardDriver d(factory_board());
    EXPECT_EQ(d.modbus(":030300040001F5\r\n"), ":03830278\r\n");       // no register 4
    EXPECT_EQ(d.modbus(":030300000001F9\r\n"), ":03830278\r\n");       // nor 0
    EXPECT_EQ(d.modbus(":030300010002F7\r\n"), ":03830278\r\n");       // two registers
    EXPECT_EQ(d.modbus(":030600010001F5\r\n"), ":03860176\r\n");       // unknown function
    EXPECT_EQ(d.modbus(":030300010001F7\r\n"), "");                    // wrong LRC
    EXPECT_EQ(d.modbus(":040300010001F7\r\n"), "");                    // another slave
    EXPECT_EQ(d.modbus(":030300010001F8\n"), "");                      // no CR
    EXPECT_EQ(d.modbus("xx:030300010001F8\r\n"), ":0303020100F7\r\n"); // noise before ":"
    // A request sent with even parity arrives with errors and gets no answer.
    Bytes req(REG1.begin(), REG1.end());
    EXPECT_TRUE(d.exchange(req, 40, sim::format_8e1(BoardDriver::RATE)).empty());
    EXPECT_EQ(d.modbus(REG3), ":03030201F304\r\n");
}

TEST_F(Firmware, RepliesTwoMillisecondsAfterTheLineFeed) {
    BoardDriver d(factory_board());
    d.out.clear();
    d.send(Bytes(REG3.begin(), REG3.end()), sim::format_8n1(BoardDriver::RATE));
    sim::Nanos lf = sim::now();
    sim::advance(40 * sim::NS_PER_MS);
    ASSERT_EQ(d.out.size(), 15u);
    EXPECT_GE(d.out[0].start - lf, 2 * sim::NS_PER_MS);
    EXPECT_LT(d.out[0].start - lf, 3 * sim::NS_PER_MS);
}

TEST_F(Firmware, SilentInTheLoaderAndListensOneMillisecondAfterStart) {
    BoardDriver d(factory_board());
    d.entry_pattern();
    EXPECT_EQ(d.modbus(REG3), "");
    ASSERT_EQ(d.password(Bytes(d.chip.state().main.end() - 32, d.chip.state().main.end())),
              BoardDriver::ack());
    // The request's ":" arrives before the program listens: the line is lost.
    d.exchange({0x80}, 1);
    d.send_bsl(BoardDriver::frame(0x1A, 0xC000, 0));
    d.out.clear();
    d.send(Bytes(REG3.begin(), REG3.end()), sim::format_8n1(BoardDriver::RATE));
    sim::advance(40 * sim::NS_PER_MS);
    ASSERT_EQ(d.out.size(), 1u); // the ACK of the load PC only
    EXPECT_EQ(d.modbus(REG3), ":03030201F304\r\n");
}

TEST_F(Firmware, ImageWithoutDescriptorReportsZero) {
    FwImage image = make_sample_image(sample_images()[1]);
    for (ImageRecord &r : image.records)
        if (r.address == 0xFFD0)
            r.data.assign(16, 0xFF);
    BoardDriver d(factory_state(image));
    EXPECT_EQ(d.modbus(REG1), reply_for(0));
    EXPECT_EQ(d.modbus(REG3), reply_for(0));
    EXPECT_FALSE(read_descriptor(d.chip.state().main).found);
}

TEST_F(Firmware, FaultsModbusSilentAndShort) {
    auto s = factory_board();
    s.faults.modbus_silent = true;
    BoardDriver silent(s);
    EXPECT_EQ(silent.modbus(REG3), "");
    s.faults = {};
    s.faults.modbus_short = true;
    BoardDriver cut(s);
    EXPECT_EQ(cut.modbus(REG3), ":03030201F3");
    s.faults = {};
    s.faults.drop_byte = 5;
    BoardDriver drop(s);
    EXPECT_EQ(drop.modbus(REG3), "");
    EXPECT_EQ(drop.modbus(REG3), ":03030201F304\r\n");
}

// ---- sample images ----

TEST(SampleImages, CommittedFilesAreWhatTheGeneratorMakes) {
    for (const SampleImage &sample : sample_images()) {
        std::ifstream in(std::string(TARVO_SOURCE_DIR) + "/fw/" + sample.file, std::ios::binary);
        ASSERT_TRUE(in) << sample.file;
        std::stringstream text;
        text << in.rdbuf();
        EXPECT_EQ(text.str(), intel_hex(make_sample_image(sample)))
            << sample.file << " differs from tools/make_fw's output";
    }
}

TEST(SampleImages, AreBelievableMsp430Images) {
    std::uint32_t crcs[3] = {};
    int index = 0;
    for (const SampleImage &sample : sample_images()) {
        std::string text = intel_hex(make_sample_image(sample));
        FwImage image;
        std::string error;
        ASSERT_TRUE(parse_intel_hex(text, &image, &error)) << error;
        EXPECT_EQ(text.substr(text.size() - 32), ":040000030000C00039\n:00000001FF\n");
        std::size_t code = 0;
        for (const ImageRecord &r : image.records) {
            EXPECT_EQ(r.data.size(), 16u);
            if (r.address >= 0xC000 && r.address < 0xF000)
                code += r.data.size();
        }
        EXPECT_GE(code, 12000u);
        BoardState s = factory_state(image);
        EXPECT_EQ(s.main[0x3FFE] | s.main[0x3FFF] << 8, 0xC000);
        for (std::size_t v = 0x3FE0; v < 0x4000; v += 2) {
            unsigned target = s.main[v] | s.main[v + 1] << 8;
            EXPECT_GE(target, 0xC000u) << "vector at 0x" << std::hex << (0xC000 + v);
            EXPECT_LT(target, 0xF000u);
        }
        Descriptor d = read_descriptor(s.main);
        ASSERT_TRUE(d.found);
        EXPECT_EQ(d.version, sample.version);
        std::string name = sample.file;
        // Appended, not "V" + string: GCC 12 at -O3 warns (-Wrestrict) about
        // the insert at the front that operator+ inlines.
        EXPECT_EQ(std::string("V").append(config_text(d.config)).append(".hex"), name);
        crcs[index++] = crc32(s.main.data(), s.main.size());
    }
    EXPECT_NE(crcs[0], crcs[1]);
    EXPECT_NE(crcs[1], crcs[2]);
}

TEST(SampleImages, ConfigurationTextRules) {
    EXPECT_EQ(config_text(0x01F3), "1a2a3b4b5b6b7o");
    EXPECT_EQ(config_text(0x0177), "1a2a3c4b5b6b7o");
    EXPECT_EQ(config_text(0x013F), "1a2a3c4c5b6b7o");
    EXPECT_EQ(config_text(0x060C), "1c2c3f (bidir)");
    EXPECT_EQ(config_text(0x07FF), "1a2a3c4c5b6b7b8b9o10f (bidir)");
    EXPECT_EQ(config_text(0xF1F3), "1a2a3b4b5b6b7o");
    EXPECT_EQ(config_text(0x0000), "");
    const char *check = "123456789";
    EXPECT_EQ(crc32(reinterpret_cast<const std::uint8_t *>(check), 9), 0xCBF43926u);
}

// ---- saved state ----

class BoardWorld : public ::testing::Test {
  protected:
    void SetUp() override {
        sim::reset_clock();
        root_ =
            std::filesystem::temp_directory_path() / ("tarvo-board-" + std::to_string(getpid()));
        std::filesystem::create_directories(root_ / "sim");
        sim::set_board_kind(1, sim::BoardKind::Tarvo);
        sim::set_board_kind(2, sim::BoardKind::None);
        std::string error;
        ASSERT_TRUE(sim::boards_init_world(root_.string(), &error)) << error;
    }
    void TearDown() override {
        boards_start_in(""); // leaves factory boards, nothing tied to the directory
        sim::attach_partner(1, nullptr);
        sim::attach_partner(2, nullptr);
        sim::set_board_kind(2, sim::BoardKind::Tarvo);
        std::filesystem::remove_all(root_);
        sim::reset_clock();
    }
    std::string root() const { return root_.string(); }
    std::filesystem::path root_;
};

TEST_F(BoardWorld, FreshWorldHoldsTheFactoryImageOnTarvoPortsOnly) {
    EXPECT_FALSE(std::filesystem::exists(state_path(root(), 2)));
    BoardState s;
    std::string error;
    ASSERT_TRUE(load_state(state_path(root(), 1), &s, &error)) << error;
    EXPECT_EQ(s.mode, Mode::Running);
    EXPECT_EQ(s.main, factory_board().main);
    EXPECT_EQ(read_descriptor(s.main).config, 0x01F3);
}

TEST_F(BoardWorld, ASecondRunSeesWhatTheFirstWrote) {
    boards_start_in(root());
    ASSERT_NE(board(1), nullptr);
    EXPECT_EQ(board(2), nullptr);
    Msp430 *chip = board(1);
    chip->faults().nak_after = 7;
    chip->write_flash(0xC000, 0x00);
    chip->write_ram(0x0300, 0x5A);
    boards_save_in(root());

    boards_start_in(root()); // the next run
    chip = board(1);
    EXPECT_EQ(chip->peek(0xC000), 0x00);
    EXPECT_EQ(chip->peek(0x0300), 0x5A);
    EXPECT_EQ(chip->faults().nak_after, 7);
    EXPECT_EQ(chip->mode(), Mode::Running);
}

TEST_F(BoardWorld, ARunThatChangedNothingDoesNotRewriteTheState) {
    boards_start_in(root());
    // Meanwhile another program changes the saved board.
    BoardState other = factory_board();
    other.faults.modbus_short = true;
    std::string error;
    ASSERT_TRUE(save_state(state_path(root(), 1), other, &error)) << error;
    boards_save_in(root());
    BoardState s;
    ASSERT_TRUE(load_state(state_path(root(), 1), &s, &error)) << error;
    EXPECT_TRUE(s.faults.modbus_short);
}

// What the world holds for PORT1 right now.
BoardState in_world(const std::string &root) {
    BoardState s;
    std::string error;
    EXPECT_TRUE(load_state(state_path(root, 1), &s, &error)) << error;
    return s;
}

TEST_F(BoardWorld, ABoardReadsTheWorldWhenTheRunFirstTouchesIt) {
    boards_start_in(root());
    // What another run writes after this one started, before it touched the board.
    BoardState other = factory_board();
    other.faults.modbus_short = true;
    std::string error;
    ASSERT_TRUE(save_state(state_path(root(), 1), other, &error)) << error;
    ASSERT_NE(board(1), nullptr);
    EXPECT_TRUE(board(1)->faults().modbus_short);
}

// Each change is in the world before the chip answers, without an end of the
// run; traffic that changes nothing writes nothing.
TEST_F(BoardWorld, EveryChangeReachesTheWorldAsItHappens) {
    boards_start_in(root());
    BoardDriver d(*board(1));
    EXPECT_EQ(d.modbus(REG1), reply_for(0x0100));
    BoardState outside = factory_board();
    outside.faults.modbus_short = true; // written by someone else meanwhile
    std::string error;
    ASSERT_TRUE(save_state(state_path(root(), 1), outside, &error)) << error;
    d.modbus(REG1);
    EXPECT_TRUE(in_world(root()).faults.modbus_short);
    board(1)->faults().modbus_short = false;

    d.entry_pattern();
    EXPECT_EQ(in_world(root()).mode, Mode::Loader);
    ASSERT_EQ(d.mass_erase(), BoardDriver::ack());
    EXPECT_EQ(in_world(root()).main, erased_state().main);
    ASSERT_EQ(d.password(), BoardDriver::ack());
    EXPECT_TRUE(in_world(root()).authenticated);
    ASSERT_TRUE(d.prepare_for_flashing());
    ASSERT_EQ(d.load_pc(PATCH_ADDRESS), BoardDriver::ack());
    ASSERT_EQ(d.write(0xC000, {0x31, 0x40}), BoardDriver::ack());
    BoardState s = in_world(root());
    EXPECT_EQ(s.main[0], 0x31);
    EXPECT_EQ(s.main[1], 0x40);
    EXPECT_EQ(serialize(s), serialize(board(1)->save()));
    d.lines(true, false);
    EXPECT_EQ(in_world(root()).mode, Mode::Off);
}

TEST_F(BoardWorld, DamagedStateFileIsRefused) {
    BoardState s = factory_board();
    s.faults.corrupt_readback = 0xC010;
    s.faults.power_cut_after = 3;
    std::string error, text = serialize(s);
    BoardState back;
    ASSERT_TRUE(parse_state(text, &back, &error)) << error;
    EXPECT_EQ(back.faults, s.faults);
    EXPECT_EQ(back.main, s.main);
    std::string cut = text.substr(0, text.size() / 2);
    EXPECT_FALSE(parse_state(cut, &back, &error));
    EXPECT_FALSE(parse_state("mode=flying\n", &back, &error));
}

TEST(Faults, NamesAndArguments) {
    Faults f;
    std::string error;
    for (const char *item :
         {"loader-silent", "erase-silent", "nak-after=4", "corrupt-readback=0xC010",
          "modbus-silent", "modbus-short", "drop-byte=12", "power-cut-after=30"})
        EXPECT_TRUE(fault_set(&f, item, &error)) << item << ": " << error;
    EXPECT_EQ(faults_text(f), "loader-silent,erase-silent,nak-after=4,corrupt-readback=0xC010,"
                              "modbus-silent,modbus-short,drop-byte=12,power-cut-after=30");
    Faults back;
    ASSERT_TRUE(faults_parse(faults_text(f), &back, &error));
    EXPECT_EQ(back, f);
    for (const char *bad : {"nak-after", "nak-after=0", "drop-byte=x", "corrupt-readback=0x10000",
                            "modbus-short=1", "flood"})
        EXPECT_FALSE(fault_set(&f, bad, &error)) << bad;
}

} // namespace
