#pragma once

// Set-up and recovery from the command line, with the server running or not:
//   norvane-signal -c CONFIG user add NAME [--role admin|viewer] [--grant PATTERN]...
//   norvane-signal -c CONFIG user passwd NAME | user del NAME | user list
//   norvane-signal -c CONFIG token add NAME | token del NAME | token list
// Passwords are read from the terminal without echo, or as one line from standard input.

#include <filesystem>
#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "signal/password_hash.hpp"

namespace kelvra::norvane::signal_server {

// True when `word` starts an account command.
bool is_account_command(const std::string& word);

struct AccountCommandIo {
    std::istream& in;
    std::ostream& out;
    std::ostream& err;
    // Reads a password; the default reads the terminal or `in`.
    std::optional<std::string> (*read_password)(AccountCommandIo& io,
                                                const std::string& user) = nullptr;
    ScryptParams scrypt{};
};

// The exit status: 0 on success, 1 on a failure (told on `err`), 2 on a usage error.
int run_account_command(const std::filesystem::path& state_dir,
                        const std::vector<std::string>& args, AccountCommandIo& io);

}  // namespace kelvra::norvane::signal_server
