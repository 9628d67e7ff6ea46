#pragma once

// Accounts, their grants, API tokens and log-in sessions, kept in the state database. Secrets
// are never stored: passwords as scrypt hashes, tokens and session cookies as SHA-256 digests.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "signal/grants.hpp"
#include "signal/sqlite_handle.hpp"

namespace kelvra::norvane::signal_server {

enum class Role { admin, viewer };

std::string_view role_name(Role role);
std::optional<Role> parse_role(std::string_view text);
// Account and token names: 1 to 64 letters, digits, '-', '_', '.' or '@'.
bool valid_account_name(std::string_view name);

struct Account {
    std::string name;
    Role role = Role::viewer;
    std::vector<Grant> grants;

    bool may_see(const StreamId& stream) const {
        return role == Role::admin || any_grant_matches(grants, stream);
    }
};

class UserStore {
public:
    explicit UserStore(SqliteDb& db) : db_(db) {}

    // Each false return means the named account (or token) exists already, or does not.
    bool add_user(std::string_view name, Role role, std::string_view password_hash,
                  const std::vector<Grant>& grants);
    bool set_password(std::string_view name, std::string_view password_hash);
    // Also ends the account's sessions.
    bool delete_user(std::string_view name);
    std::optional<Account> account(std::string_view name);
    std::optional<std::string> password_hash(std::string_view name);
    std::vector<Account> accounts();

    bool add_token(std::string_view name, std::string_view digest, int64_t now_s);
    bool delete_token(std::string_view name);
    // The name of the token with this digest.
    std::optional<std::string> token_name(std::string_view digest);
    std::vector<std::string> token_names();

    void add_session(std::string_view digest, std::string_view user, int64_t expires_s);
    // The user of a session that has not expired by `now_s`.
    std::optional<std::string> session_user(std::string_view digest, int64_t now_s);
    void delete_session(std::string_view digest);
    void delete_expired_sessions(int64_t now_s);

private:
    SqliteDb& db_;
};

}  // namespace kelvra::norvane::signal_server
