// Accounts in "users.dat": flat 112-byte records of name, salt and
// PBKDF2-HMAC-SHA256 key, and the registration and login dialogues.
#pragma once

#include <cstddef>
#include <string>
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

// What became of a dialogue and the name it was for, for the server's log.
enum class AccountOutcome { Done, NameTaken, WrongPassword, UnknownName, FileError, KeyError, NoAnswer };
struct AccountResult {
    AccountOutcome outcome;
    std::string name;
};
const char* outcome_text(AccountOutcome outcome);

// What the server puts around each key derivation of a dialogue, so that
// guessing cannot take the machine: enter() waits for a turn and returns
// false when the dialogue must give up instead (it then ends as if the peer
// had gone, with no answer); leave() follows every successful enter(), with
// what the derivation found, before the peer is told.
class KeyGate {
public:
    virtual bool enter() = 0;
    virtual void leave(AccountOutcome outcome) = 0;

protected:
    ~KeyGate() = default;
};

// The dialogues on a reader, which also carries their texts and time limit.
AccountResult register_user(LineReader& in, KeyGate* gate = nullptr);
AccountResult login_user(LineReader& in, KeyGate* gate = nullptr);
