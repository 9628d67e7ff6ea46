#include "signal/user_store.hpp"

namespace kelvra::norvane::signal_server {

std::string_view role_name(Role role) {
    return role == Role::admin ? "admin" : "viewer";
}

std::optional<Role> parse_role(std::string_view text) {
    if (text == "admin") return Role::admin;
    if (text == "viewer") return Role::viewer;
    return std::nullopt;
}

bool valid_account_name(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (const char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                        (c >= '0' && c <= '9') || c == '-' || c == '_' || c == '.' || c == '@';
        if (!ok) return false;
    }
    return true;
}

bool UserStore::add_user(std::string_view name, Role role, std::string_view password_hash,
                         const std::vector<Grant>& grants) {
    Transaction transaction(db_);
    const int added =
        Statement(db_, "INSERT OR IGNORE INTO users(name, role, password) VALUES(?, ?, ?)")
            .bind(1, name)
            .bind(2, role_name(role))
            .bind(3, password_hash)
            .run();
    if (added != 1) return false;
    for (const Grant& grant : grants) {
        Statement(db_, "INSERT OR IGNORE INTO grants(user, pattern) VALUES(?, ?)")
            .bind(1, name)
            .bind(2, grant.pattern())
            .run();
    }
    transaction.commit();
    return true;
}

bool UserStore::set_password(std::string_view name, std::string_view password_hash) {
    Transaction transaction(db_);
    const int changed = Statement(db_, "UPDATE users SET password = ? WHERE name = ?")
                            .bind(1, password_hash)
                            .bind(2, name)
                            .run();
    // A new password ends the sessions the old one opened.
    Statement(db_, "DELETE FROM sessions WHERE user = ?").bind(1, name).run();
    transaction.commit();
    return changed == 1;
}

bool UserStore::delete_user(std::string_view name) {
    Transaction transaction(db_);
    const int removed = Statement(db_, "DELETE FROM users WHERE name = ?").bind(1, name).run();
    Statement(db_, "DELETE FROM sessions WHERE user = ?").bind(1, name).run();
    transaction.commit();
    return removed == 1;
}

std::optional<Account> UserStore::account(std::string_view name) {
    Statement user(db_, "SELECT role FROM users WHERE name = ?");
    user.bind(1, name);
    if (!user.step()) return std::nullopt;
    Account out{std::string(name), parse_role(user.text(0)).value_or(Role::viewer), {}};
    Statement grants(db_, "SELECT pattern FROM grants WHERE user = ? ORDER BY pattern");
    grants.bind(1, name);
    while (grants.step()) {
        // A pattern that no longer reads grants nothing.
        if (auto grant = Grant::parse(grants.text(0))) out.grants.push_back(std::move(*grant));
    }
    return out;
}

std::optional<std::string> UserStore::password_hash(std::string_view name) {
    Statement user(db_, "SELECT password FROM users WHERE name = ?");
    user.bind(1, name);
    if (!user.step()) return std::nullopt;
    return user.text(0);
}

std::vector<Account> UserStore::accounts() {
    std::vector<std::string> names;
    Statement users(db_, "SELECT name FROM users ORDER BY name");
    while (users.step()) names.push_back(users.text(0));
    std::vector<Account> out;
    for (const std::string& name : names) {
        if (auto found = account(name)) out.push_back(std::move(*found));
    }
    return out;
}

bool UserStore::add_token(std::string_view name, std::string_view digest, int64_t now_s) {
    Transaction transaction(db_);
    const int added =
        Statement(db_, "INSERT OR IGNORE INTO tokens(name, digest, created) VALUES(?, ?, ?)")
            .bind(1, name)
            .bind(2, digest)
            .bind(3, now_s)
            .run();
    transaction.commit();
    return added == 1;
}

bool UserStore::delete_token(std::string_view name) {
    Transaction transaction(db_);
    const int removed = Statement(db_, "DELETE FROM tokens WHERE name = ?").bind(1, name).run();
    transaction.commit();
    return removed == 1;
}

std::optional<std::string> UserStore::token_name(std::string_view digest) {
    Statement token(db_, "SELECT name FROM tokens WHERE digest = ?");
    token.bind(1, digest);
    if (!token.step()) return std::nullopt;
    return token.text(0);
}

std::vector<std::string> UserStore::token_names() {
    std::vector<std::string> out;
    Statement tokens(db_, "SELECT name FROM tokens ORDER BY name");
    while (tokens.step()) out.push_back(tokens.text(0));
    return out;
}

void UserStore::add_session(std::string_view digest, std::string_view user, int64_t expires_s) {
    Transaction transaction(db_);
    Statement(db_, "INSERT INTO sessions(digest, user, expires) VALUES(?, ?, ?)")
        .bind(1, digest)
        .bind(2, user)
        .bind(3, expires_s)
        .run();
    transaction.commit();
}

std::optional<std::string> UserStore::session_user(std::string_view digest, int64_t now_s) {
    Statement session(db_, "SELECT user FROM sessions WHERE digest = ? AND expires > ?");
    session.bind(1, digest).bind(2, now_s);
    if (!session.step()) return std::nullopt;
    return session.text(0);
}

void UserStore::delete_session(std::string_view digest) {
    Transaction transaction(db_);
    Statement(db_, "DELETE FROM sessions WHERE digest = ?").bind(1, digest).run();
    transaction.commit();
}

void UserStore::delete_expired_sessions(int64_t now_s) {
    Transaction transaction(db_);
    Statement(db_, "DELETE FROM sessions WHERE expires <= ?").bind(1, now_s).run();
    transaction.commit();
}

}  // namespace kelvra::norvane::signal_server
