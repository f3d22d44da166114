// The user file itself: loading whole records, finding a name, and adding an
// account under a lock that every process using the file takes.
#pragma once

#include "accounts/accounts.hpp"

#include <optional>
#include <string_view>
#include <vector>

inline constexpr const char* USERS_FILE = "users.dat";
// Never removed: a holder's lock would otherwise end up on an unlinked file
// while the next process locks a new one.
inline constexpr const char* USERS_LOCK_FILE = "users.dat.lock";
// Over half a million accounts; anything larger is damage, not a user file.
inline constexpr long long MAX_USERS_FILE_SIZE = 64LL << 20;

// Whole records of the user file (a trailing partial record is dropped); empty
// when there is no file. nullopt when the file exists but cannot be read, is
// not a regular file or is larger than MAX_USERS_FILE_SIZE, so that a
// registration never replaces accounts it could not see. Never blocks on a
// FIFO and never throws.
std::optional<std::vector<UserRecord>> read_user_file();

enum class AddUser { Added, NameTaken, Failed };

// Appends the record unless its name is taken. The read, the check and the
// replacement run under an exclusive lock on USERS_LOCK_FILE, so no other
// thread or process adding an account in between can drop this one or be
// dropped by it.
AddUser add_user(const UserRecord& record);

// The first record whose name equals name byte for byte, or nullptr.
const UserRecord* find_user(const std::vector<UserRecord>& users, std::string_view name);

// Writes exactly these records to a temporary file beside the user file,
// syncs it and renames it over the user file (mode 0600). False when the new
// file could not be written or put in place; the old file is then untouched.
bool replace_user_file(const std::vector<UserRecord>& users);

// PBKDF2-HMAC-SHA256 of the password over the record's salt into key.
bool derive_key(std::string_view password, const unsigned char (&salt)[SALT_LEN],
                unsigned char (&key)[KEY_LEN]);
