#include "ivf_file_writer.hpp"

namespace kelvra::norvane::sender {

std::unique_ptr<IvfFileWriter> IvfFileWriter::create(const std::string& path,
                                                     const IvfHeader& header, std::string& error) {
    std::unique_ptr<IvfFileWriter> writer(new IvfFileWriter());
    writer->file_.reset(std::fopen(path.c_str(), "wb"));
    if (!writer->file_) {
        error = "cannot create " + path;
        return nullptr;
    }
    writer->header_ = header;
    writer->header_.frame_count = 0;
    const auto bytes = ivf_file_header(writer->header_);
    if (std::fwrite(bytes.data(), 1, bytes.size(), writer->file_.get()) != bytes.size()) {
        error = "cannot write " + path;
        return nullptr;
    }
    return writer;
}

IvfFileWriter::~IvfFileWriter() {
    if (!file_ || failed_) return;
    // Patch the frame count now that it is known.
    header_.frame_count = frames_;
    const auto bytes = ivf_file_header(header_);
    if (std::fseek(file_.get(), 0, SEEK_SET) == 0)
        std::fwrite(bytes.data(), 1, bytes.size(), file_.get());
}

bool IvfFileWriter::write(ConstSlice<uint8_t> frame) {
    if (failed_) return false;
    const auto header = ivf_frame_header(static_cast<uint32_t>(frame.size), frames_);
    failed_ = std::fwrite(header.data(), 1, header.size(), file_.get()) != header.size() ||
              std::fwrite(frame.data, 1, frame.size, file_.get()) != frame.size;
    if (!failed_) ++frames_;
    return !failed_;
}

}  // namespace kelvra::norvane::sender
