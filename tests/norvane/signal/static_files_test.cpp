// Request paths of the web page's files: served from the root, never from outside it.

#include "signal/static_files.hpp"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

namespace kelvra::norvane::signal_server {
namespace {

namespace fs = std::filesystem;

class StaticFilesTest : public ::testing::Test {
protected:
    void SetUp() override {
        base = fs::temp_directory_path() / ("norvane-static-" + std::to_string(::getpid()));
        fs::remove_all(base);
        fs::create_directories(base / "web" / "js");
        std::ofstream(base / "web" / "index.html") << "<html>";
        std::ofstream(base / "web" / "js" / "app.js") << "1";
        std::ofstream(base / "secret.txt") << "secret";
        fs::create_symlink(base / "secret.txt", base / "web" / "link.txt");
    }
    void TearDown() override { fs::remove_all(base); }

    fs::path base;
};

TEST_F(StaticFilesTest, ServesFilesUnderTheRootOnly) {
    const StaticFiles files(base / "web");
    EXPECT_EQ(files.resolve("/"), fs::canonical(base / "web" / "index.html"));
    EXPECT_EQ(files.resolve("/js/app.js"), fs::canonical(base / "web" / "js" / "app.js"));
    EXPECT_EQ(files.resolve("/js%2Fapp.js"), std::nullopt);
    EXPECT_EQ(StaticFiles::content_type("/x/app.js"), "text/javascript; charset=utf-8");
    for (const char* bad :
         {"", "index.html", "/../secret.txt", "/js/../../secret.txt", "/%2e%2e/secret.txt",
          "/..%2Fsecret.txt", "/link.txt", "/missing", "/index.html%00.js", "/.hidden"}) {
        EXPECT_EQ(files.resolve(bad), std::nullopt) << bad;
    }
}

}  // namespace
}  // namespace kelvra::norvane::signal_server
