// The user file itself: loading whole records, finding a name, and replacing
// the file in one step when an account is added.
#pragma once

#include "accounts/accounts.hpp"

#include <optional>
#include <string_view>
#include <vector>

inline constexpr const char* USERS_FILE = "users.dat";

// Whole records of the user file (a trailing partial record is dropped); empty
// when there is no file. nullopt when the file exists but cannot be read, so
// that a registration never replaces accounts it could not see.
std::optional<std::vector<UserRecord>> read_user_file();

// The first record whose name equals name byte for byte, or nullptr.
const UserRecord* find_user(const std::vector<UserRecord>& users, std::string_view name);

// Writes exactly these records to a temporary file beside the user file,
// syncs it and renames it over the user file (mode 0600). False when the new
// file could not be written or put in place; the old file is then untouched.
bool replace_user_file(const std::vector<UserRecord>& users);

// PBKDF2-HMAC-SHA256 of the password over the record's salt into key.
bool derive_key(std::string_view password, const unsigned char (&salt)[SALT_LEN],
                unsigned char (&key)[KEY_LEN]);
