// Accounts in "users.dat": flat 112-byte records of name, salt and
// PBKDF2-HMAC-SHA256 key, and the registration and login dialogues.
#pragma once

#include <cstddef>
#include <vector>

constexpr int SALT_LEN = 16;
constexpr int KEY_LEN = 32;
constexpr int PBKDF2_ITERATIONS = 100000;
constexpr int USERNAME_LEN = 64;

struct UserRecord {
    char username[USERNAME_LEN];
    unsigned char salt[SALT_LEN];
    unsigned char key[KEY_LEN];
};
static_assert(sizeof(UserRecord) == 112);

// Every whole record of users.dat; empty when the file cannot be read.
std::vector<UserRecord> load_users();

class LineReader;

// The dialogues run on one descriptor for prompts and answers: a terminal,
// read a byte at a time, or a client socket whose reader keeps what came
// after an answer for the next prompt.
void register_user(int fd);
bool login_user(int fd);
void register_user(int fd, LineReader& in);
bool login_user(int fd, LineReader& in);
