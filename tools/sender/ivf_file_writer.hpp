#pragma once

#include <cstdio>
#include <memory>
#include <string>

#include "ivf.hpp"

namespace kelvra::norvane::sender {

// Writes frames to an IVF file as they are sent; the frame count in the header is filled in when
// the writer closes.
class IvfFileWriter {
public:
    static std::unique_ptr<IvfFileWriter> create(const std::string& path, const IvfHeader& header,
                                                 std::string& error);
    ~IvfFileWriter();

    bool write(ConstSlice<uint8_t> frame);

private:
    struct FileClose {
        void operator()(std::FILE* f) const { std::fclose(f); }
    };

    IvfFileWriter() = default;

    std::unique_ptr<std::FILE, FileClose> file_;
    IvfHeader header_;
    uint32_t frames_ = 0;
    bool failed_ = false;
};

}  // namespace kelvra::norvane::sender
