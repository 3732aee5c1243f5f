#include "sim/board/sample_images.h"

#include "sim/board/model_choices.h"

namespace sim::board {
namespace {

// xorshift32: the same sequence on every machine, so the images are reproducible.
struct Rng {
    std::uint32_t s;
    std::uint32_t next() {
        s ^= s << 13;
        s ^= s >> 17;
        s ^= s << 5;
        return s;
    }
    std::uint32_t below(std::uint32_t n) { return next() % n; }
};

constexpr std::uint16_t CODE_END = 0xF000; // code fills 0xC000..0xEFFF
constexpr std::uint16_t STACK_TOP = 0x0400;
constexpr std::uint16_t WDTCTL = 0x0120;
constexpr std::uint16_t WDT_HOLD = 0x5A80;
constexpr std::uint16_t RET = 0x4130;
constexpr std::uint16_t RETI = 0x1300;
constexpr std::uint16_t JMP_SELF = 0x3FFF;
constexpr std::uint16_t NOP = 0x4303;

// Peripheral and RAM addresses the generated code touches.
constexpr std::uint16_t DATA_ADDRESSES[] = {0x0018, 0x0019, 0x001A, 0x0021, 0x0022, 0x0029,
                                            0x0070, 0x0074, 0x0076, 0x0160, 0x0162, 0x0170,
                                            0x0172, 0x0200, 0x0204, 0x0210, 0x0300, 0x0320};
constexpr std::uint16_t DOUBLE_OPS[] = {0x4000, 0x5000, 0x6000, 0x8000, 0x9000,
                                        0xB000, 0xC000, 0xD000, 0xE000, 0xF000};

class Emitter {
  public:
    explicit Emitter(std::uint32_t seed) : rng_{seed ? seed : 1} {}

    std::uint16_t here() const {
        return static_cast<std::uint16_t>(MAIN_START + 2 * words_.size());
    }
    void word(std::uint16_t w) { words_.push_back(w); }
    std::size_t size() const { return words_.size(); }
    const std::vector<std::uint16_t> &words() const { return words_; }

    // One plausible instruction (1 to 3 words).
    void instruction(const std::vector<std::uint16_t> &callees) {
        std::uint16_t op = DOUBLE_OPS[rng_.below(sizeof DOUBLE_OPS / sizeof DOUBLE_OPS[0])];
        std::uint16_t src = static_cast<std::uint16_t>(4 + rng_.below(12));
        std::uint16_t dst = static_cast<std::uint16_t>(4 + rng_.below(12));
        std::uint16_t byte_op = rng_.below(4) == 0 ? 0x0040 : 0;
        switch (rng_.below(8)) {
        case 0: // op #imm, Rd
            word(static_cast<std::uint16_t>(op | 0x0030 | byte_op | dst));
            word(static_cast<std::uint16_t>(rng_.below(byte_op ? 0x100 : 0x10000)));
            break;
        case 1: // op Rs, &addr
            word(static_cast<std::uint16_t>(op | src << 8 | 0x0080 | byte_op | 2));
            word(data_address());
            break;
        case 2: // op &addr, Rd
            word(static_cast<std::uint16_t>(op | 2 << 8 | 0x0010 | byte_op | dst));
            word(data_address());
            break;
        case 3: // conditional jump a few words ahead or back
            word(static_cast<std::uint16_t>(0x2000 | rng_.below(7) << 10 |
                                            ((rng_.below(12) + 0x3FA) & 0x3FF)));
            break;
        case 4:
            if (!callees.empty()) { // call #function
                word(0x12B0);
                word(callees[rng_.below(static_cast<std::uint32_t>(callees.size()))]);
                break;
            }
            [[fallthrough]];
        default: // op Rs, Rd
            word(static_cast<std::uint16_t>(op | src << 8 | byte_op | dst));
            break;
        }
    }

    std::uint32_t below(std::uint32_t n) { return rng_.below(n); }

  private:
    std::uint16_t data_address() {
        return DATA_ADDRESSES[rng_.below(sizeof DATA_ADDRESSES / sizeof DATA_ADDRESSES[0])];
    }
    Rng rng_;
    std::vector<std::uint16_t> words_;
};

void put16(std::vector<std::uint8_t> &bytes, std::size_t at, std::uint16_t w) {
    bytes[at] = static_cast<std::uint8_t>(w & 0xFF);
    bytes[at + 1] = static_cast<std::uint8_t>(w >> 8);
}

} // namespace

const std::array<SampleImage, 3> &sample_images() {
    static const std::array<SampleImage, 3> images = {{
        {"V1a2a3b4b5b6b7o.hex", 0x01000000, 0x01F3, 0x1A2B3C4Du},
        {"V1a2a3c4b5b6b7o.hex", 0x01010000, 0x0177, 0x5E6F7081u},
        {"V1a2a3c4c5b6b7o.hex", 0x01020000, 0x013F, 0x92A3B4C5u},
    }};
    return images;
}

FwImage make_sample_image(const SampleImage &sample) {
    const std::size_t code_words = (CODE_END - MAIN_START) / 2;
    Emitter e(sample.seed);

    // Startup: stack, watchdog held, main, then stay.
    e.word(0x4031);
    e.word(STACK_TOP);
    e.word(0x40B2);
    e.word(WDT_HOLD);
    e.word(WDTCTL);
    std::size_t call_main = e.size() + 1;
    e.word(0x12B0);
    e.word(0); // main's address, filled in below
    e.word(JMP_SELF);

    // Interrupt handlers: save a register, a few instructions, restore, reti.
    std::vector<std::uint16_t> handlers;
    const std::vector<std::uint16_t> none;
    for (int i = 0; i < 6; ++i) {
        handlers.push_back(e.here());
        e.word(0x120F); // push R15
        for (std::uint32_t n = 3 + e.below(6); n > 0; --n)
            e.instruction(none);
        e.word(0x413F); // pop R15
        e.word(RETI);
    }
    std::uint16_t default_handler = e.here();
    e.word(RETI);

    // Functions until the code area is nearly full; the last one is main.
    std::vector<std::uint16_t> functions;
    while (e.size() + 40 < code_words) {
        functions.push_back(e.here());
        for (std::uint32_t n = 6 + e.below(24); n > 0; --n)
            e.instruction(functions.size() > 1 ? functions : none);
        e.word(RET);
    }
    std::uint16_t main_address = e.here();
    e.word(0xD3D2); // bis #1, &IE1 style set-up
    e.word(0x0000);
    e.word(0xD232); // eint
    for (int n = 0; n < 12 && e.size() + 2 < code_words; ++n) {
        e.word(0x12B0);
        e.word(functions[e.below(static_cast<std::uint32_t>(functions.size()))]);
    }
    e.word(0x3FE7); // loop
    while (e.size() < code_words)
        e.word(NOP);

    std::vector<std::uint16_t> code = e.words();
    code[call_main] = main_address;

    FwImage image;
    for (std::size_t w = 0; w < code.size(); w += 8) {
        ImageRecord r{static_cast<std::uint16_t>(MAIN_START + 2 * w),
                      std::vector<std::uint8_t>(16)};
        for (std::size_t i = 0; i < 8; ++i)
            put16(r.data, 2 * i, code[w + i]);
        image.records.push_back(std::move(r));
    }

    // Descriptor, in the upper half of the record just below the vectors.
    ImageRecord desc{static_cast<std::uint16_t>(VECTORS_START - 16),
                     std::vector<std::uint8_t>(16, ERASED)};
    std::size_t at = DESCRIPTOR_ADDRESS - desc.address;
    put16(desc.data, at, DESCRIPTOR_MAGIC);
    put16(desc.data, at + 2, static_cast<std::uint16_t>(sample.version >> 16));
    put16(desc.data, at + 4, static_cast<std::uint16_t>(sample.version & 0xFFFF));
    put16(desc.data, at + 6, sample.config);
    image.records.push_back(std::move(desc));

    // Vectors 0xFFE0..0xFFFE: ports, timers, UART, ADC to the handlers, the
    // rest to the default handler, reset to the startup code.
    std::vector<std::uint8_t> vectors(32);
    for (std::size_t v = 0; v < 16; ++v) {
        std::uint16_t target = default_handler;
        if (v == 2 || v == 4 || v == 6 || v == 8 || v == 10 || v == 12)
            target = handlers[v / 2 - 1];
        put16(vectors, 2 * v, target);
    }
    put16(vectors, RESET_VECTOR - VECTORS_START, MAIN_START);
    image.records.push_back({VECTORS_START, {vectors.begin(), vectors.begin() + 16}});
    image.records.push_back(
        {static_cast<std::uint16_t>(VECTORS_START + 16), {vectors.begin() + 16, vectors.end()}});

    image.start_cs = 0x0000;
    image.start_ip = MAIN_START;
    return image;
}

} // namespace sim::board
