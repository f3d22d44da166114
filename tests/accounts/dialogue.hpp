// Plays the user's side of an account dialogue over a socket pair, and builds
// records the way another program writing the same file would.
#pragma once

#include "accounts/accounts.hpp"

#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace accounts_test {

struct Outcome {
    std::string transcript;  // everything the dialogue sent
    bool result = false;     // what login_user returned; false for a registration
};

// Runs the dialogue on a thread. Each answer is sent in its own write once the
// next prompt (text ending in ": ") has arrived, as a person at a terminal
// would; after the last one the user's side stops sending, so a dialogue that
// wants more input sees the peer close.
Outcome converse(const std::function<bool(int)>& dialogue, const std::vector<std::string>& answers);

Outcome register_as(std::string_view name_line, std::string_view password_line);
Outcome login_as(std::string_view name_line, std::string_view password_line);

// A record with the given name and salt whose key is computed here with
// OpenSSL directly, not through the code under test.
UserRecord independent_record(std::string_view name, std::string_view password, unsigned char salt_byte);

std::string bytes_of(const UserRecord& record);

inline constexpr std::string_view REGISTER_PROMPTS = "Choose a username: Choose a password: ";
inline constexpr std::string_view LOGIN_PROMPTS = "Username: Password: ";
inline constexpr std::string_view REGISTERED = "Registration successful.\n";
inline constexpr std::string_view SAVE_FAILED = "Registration failed: could not save the account.\n";
inline constexpr std::string_view NAME_TAKEN = "Username already exists.\n";
inline constexpr std::string_view LOGGED_IN = "Login successful.\n";
inline constexpr std::string_view BAD_CREDENTIALS = "Invalid credentials.\n";

}  // namespace accounts_test
