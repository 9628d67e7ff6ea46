#include "signal/user_cli.hpp"

#include <fmt/format.h>
#include <fmt/ostream.h>
#include <termios.h>
#include <unistd.h>

#include <iostream>

#include "kelvra/core/time.hpp"
#include "signal/state_db.hpp"
#include "signal/user_store.hpp"

namespace kelvra::norvane::signal_server {

namespace {

constexpr size_t kMinPassword = 8;
constexpr size_t kMaxPassword = 1024;

constexpr const char* kUsage =
    "usage: norvane-signal -c CONFIG user add NAME [--role admin|viewer] [--grant PATTERN]...\n"
    "       norvane-signal -c CONFIG user passwd NAME | user del NAME | user list\n"
    "       norvane-signal -c CONFIG token add NAME | token del NAME | token list\n";

// Echo stays off only while the password is typed, whatever happens meanwhile.
class NoEcho {
public:
    NoEcho() {
        if (::tcgetattr(STDIN_FILENO, &saved_) != 0) return;
        termios quiet = saved_;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        active_ = ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0;
    }
    ~NoEcho() {
        if (active_) ::tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved_);
    }
    NoEcho(const NoEcho&) = delete;
    NoEcho& operator=(const NoEcho&) = delete;

private:
    termios saved_{};
    bool active_ = false;
};

std::optional<std::string> read_line(std::istream& in) {
    std::string line;
    if (!std::getline(in, line)) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return line;
}

std::optional<std::string> default_read_password(AccountCommandIo& io, const std::string& user) {
    if (::isatty(STDIN_FILENO) == 0) return read_line(io.in);
    std::optional<std::string> first;
    std::optional<std::string> second;
    {
        NoEcho quiet;
        fmt::print(io.err, "Password for {}: ", user);
        io.err.flush();
        first = read_line(io.in);
        fmt::print(io.err, "\nAgain: ");
        io.err.flush();
        second = read_line(io.in);
        fmt::print(io.err, "\n");
    }
    if (first != second) {
        fmt::print(io.err, "norvane-signal: the two passwords differ\n");
        return std::nullopt;
    }
    return first;
}

std::optional<std::string> new_password_hash(AccountCommandIo& io, const std::string& user) {
    const auto read = io.read_password != nullptr ? io.read_password : default_read_password;
    const auto password = read(io, user);
    if (!password) {
        fmt::print(io.err, "norvane-signal: no password given\n");
        return std::nullopt;
    }
    if (password->size() < kMinPassword || password->size() > kMaxPassword) {
        fmt::print(io.err, "norvane-signal: a password must be {} to {} characters\n", kMinPassword,
                   kMaxPassword);
        return std::nullopt;
    }
    return hash_password(*password, io.scrypt);
}

int fail(AccountCommandIo& io, const std::string& text) {
    fmt::print(io.err, "norvane-signal: {}\n", text);
    return 1;
}

int usage(AccountCommandIo& io, const std::string& text) {
    fmt::print(io.err, "norvane-signal: {}\n{}", text, kUsage);
    return 2;
}

void audit(AccountCommandIo& io, const std::string& event, const std::string& name) {
    fmt::print(io.err, "audit: {} user={} from=command-line\n", event, name);
}

int user_add(UserStore& users, const std::vector<std::string>& args, AccountCommandIo& io) {
    const std::string& name = args[2];
    Role role = Role::viewer;
    std::vector<Grant> grants;
    for (size_t i = 3; i < args.size(); i += 2) {
        if (i + 1 >= args.size()) return usage(io, args[i] + " needs a value");
        if (args[i] == "--role") {
            const auto parsed = parse_role(args[i + 1]);
            if (!parsed) return usage(io, "--role must be admin or viewer");
            role = *parsed;
        } else if (args[i] == "--grant") {
            auto grant = Grant::parse(args[i + 1]);
            if (!grant) {
                return usage(io, fmt::format("--grant '{}': use *, GATEWAY/*, GATEWAY/ADDR/* or "
                                             "GATEWAY/ADDR/CAMERA",
                                             args[i + 1]));
            }
            grants.push_back(std::move(*grant));
        } else {
            return usage(io, "unknown option " + args[i]);
        }
    }
    if (users.account(name)) return fail(io, fmt::format("user {} exists already", name));
    if (role == Role::viewer && grants.empty()) {
        fmt::print(io.err, "norvane-signal: note: {} has no --grant and will see no stream\n",
                   name);
    }
    const auto hash = new_password_hash(io, name);
    if (!hash) return 1;
    if (!users.add_user(name, role, *hash, grants)) {
        return fail(io, fmt::format("user {} exists already", name));
    }
    audit(io, "user_add", name);
    return 0;
}

int user_command(UserStore& users, const std::vector<std::string>& args, AccountCommandIo& io) {
    const std::string& verb = args.size() > 1 ? args[1] : "";
    if (verb == "list" && args.size() == 2) {
        for (const Account& account : users.accounts()) {
            std::string grants;
            for (const Grant& grant : account.grants) {
                grants += (grants.empty() ? "" : ",") + grant.pattern();
            }
            fmt::print(io.out, "{} {} {}\n", account.name, role_name(account.role),
                       grants.empty() ? "-" : grants);
        }
        return 0;
    }
    if (args.size() < 3) return usage(io, "user " + verb + " needs a user name");
    const std::string& name = args[2];
    if (!valid_account_name(name)) {
        return usage(io, "a user name is 1 to 64 letters, digits, '-', '_', '.' or '@'");
    }
    if (verb == "add") return user_add(users, args, io);
    if (args.size() != 3) return usage(io, "too many arguments");
    if (verb == "passwd") {
        if (!users.account(name)) return fail(io, fmt::format("no user {}", name));
        const auto hash = new_password_hash(io, name);
        if (!hash) return 1;
        if (!users.set_password(name, *hash)) return fail(io, fmt::format("no user {}", name));
        audit(io, "user_passwd", name);
        return 0;
    }
    if (verb == "del") {
        if (!users.delete_user(name)) return fail(io, fmt::format("no user {}", name));
        audit(io, "user_del", name);
        return 0;
    }
    return usage(io, "unknown user command '" + verb + "'");
}

int token_command(UserStore& users, const std::vector<std::string>& args, AccountCommandIo& io) {
    const std::string& verb = args.size() > 1 ? args[1] : "";
    if (verb == "list" && args.size() == 2) {
        for (const std::string& name : users.token_names()) fmt::print(io.out, "{}\n", name);
        return 0;
    }
    if (args.size() != 3) return usage(io, "token " + verb + " needs one token name");
    const std::string& name = args[2];
    if (!valid_account_name(name)) {
        return usage(io, "a token name is 1 to 64 letters, digits, '-', '_', '.' or '@'");
    }
    if (verb == "add") {
        const std::string token = random_secret();
        if (!users.add_token(name, secret_digest(token), time_utc_us() / 1'000'000)) {
            return fail(io, fmt::format("token {} exists already", name));
        }
        audit(io, "token_add", "token:" + name);
        // Only its digest is stored: this is the one time it can be read.
        fmt::print(io.out, "{}\n", token);
        return 0;
    }
    if (verb == "del") {
        if (!users.delete_token(name)) return fail(io, fmt::format("no token {}", name));
        audit(io, "token_del", "token:" + name);
        return 0;
    }
    return usage(io, "unknown token command '" + verb + "'");
}

}  // namespace

bool is_account_command(const std::string& word) {
    return word == "user" || word == "token";
}

int run_account_command(const std::filesystem::path& state_dir,
                        const std::vector<std::string>& args, AccountCommandIo& io) {
    if (args.empty() || !is_account_command(args[0])) return usage(io, "no command");
    try {
        StateDb state(state_dir);
        UserStore users(state.db());
        return args[0] == "user" ? user_command(users, args, io) : token_command(users, args, io);
    } catch (const StateError& error) {
        return fail(io, error.what());
    }
}

}  // namespace kelvra::norvane::signal_server
