#include "sim/board/intel_hex.h"

#include "sim/text_util.h"

namespace sim::board {

std::string intel_hex(const FwImage &image) {
    std::string out;
    auto record = [&](std::uint16_t address, std::uint8_t type,
                      const std::vector<std::uint8_t> &data) {
        std::vector<std::uint8_t> bytes{static_cast<std::uint8_t>(data.size()),
                                        static_cast<std::uint8_t>(address >> 8),
                                        static_cast<std::uint8_t>(address), type};
        bytes.insert(bytes.end(), data.begin(), data.end());
        out.append(":").append(hex_with_sum(bytes)).append("\n");
    };
    for (const ImageRecord &r : image.records)
        record(r.address, 0x00, r.data);
    record(0x0000, 0x03,
           {static_cast<std::uint8_t>(image.start_cs >> 8),
            static_cast<std::uint8_t>(image.start_cs),
            static_cast<std::uint8_t>(image.start_ip >> 8),
            static_cast<std::uint8_t>(image.start_ip)});
    record(0x0000, 0x01, {});
    return out;
}

bool parse_intel_hex(const std::string &text, FwImage *image, std::string *error) {
    FwImage out;
    std::uint32_t segment = 0;
    std::size_t pos = 0;
    int line_no = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        ++line_no;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t'))
            line.pop_back();
        if (line.empty())
            continue;
        std::vector<std::uint8_t> bytes;
        bool ok = line[0] == ':' && line.size() % 2 == 1 && line.size() >= 11 &&
                  hex_bytes(line, 1, line.size(), &bytes);
        unsigned sum = 0;
        for (std::uint8_t b : bytes)
            sum += b;
        if (!ok || bytes.size() != bytes[0] + 5u || (sum & 0xFF) != 0) {
            *error = "bad record on line " + std::to_string(line_no);
            return false;
        }
        auto address = static_cast<std::uint16_t>(bytes[1] << 8 | bytes[2]);
        std::vector<std::uint8_t> data(bytes.begin() + 4, bytes.end() - 1);
        switch (bytes[3]) {
        case 0x00:
            out.records.push_back({static_cast<std::uint16_t>(address + segment), data});
            break;
        case 0x01:
            *image = out;
            return true;
        case 0x02:
            if (data.size() == 2)
                segment = static_cast<std::uint32_t>(data[0] << 8 | data[1]) << 4;
            break;
        case 0x03:
            if (data.size() == 4) {
                out.start_cs = static_cast<std::uint16_t>(data[0] << 8 | data[1]);
                out.start_ip = static_cast<std::uint16_t>(data[2] << 8 | data[3]);
            }
            break;
        default:
            break;
        }
    }
    *image = out;
    return true;
}

} // namespace sim::board
