// The registration and login dialogues, run on one descriptor that carries
// both the prompts and the answers (a terminal or a client socket).
#include "accounts/accounts.hpp"

#include "accounts/user_file.hpp"
#include "term/line_reader.hpp"

#include <algorithm>
#include <cstring>
#include <optional>
#include <openssl/crypto.h>
#include <openssl/rand.h>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t NAME_READ = USERNAME_LEN - 1;
constexpr std::size_t PASSWORD_READ = 127;

constexpr std::string_view SAVE_FAILED = "Registration failed: could not save the account.\n";
constexpr std::string_view NAME_TAKEN = "Username already exists.\n";
constexpr std::string_view DERIVE_FAILED = "Error deriving key.\n";
constexpr std::string_view BAD_CREDENTIALS = "Invalid credentials.\n";

// One answer of a dialogue. It may be a password, so it is wiped when it goes.
class Answer {
public:
    Answer() = default;
    Answer(const Answer&) = delete;
    Answer& operator=(const Answer&) = delete;
    ~Answer() { OPENSSL_cleanse(m_text.data(), m_text.size()); }

    // The next line of at most max bytes. Only the line feed ends it: a
    // carriage return before it is kept, so a client that sends CR LF logs
    // in with what it registered. False when the peer has closed or the
    // read failed.
    bool read_from(LineReader& in, std::size_t max) { return in.read_line(m_text, max); }

    std::string_view text() const { return m_text; }

private:
    std::string m_text;
};

// Sends the prompt and reads the answer; false when the peer is gone.
bool ask(LineReader& in, std::string_view prompt, Answer& answer, std::size_t max)
{
    in.write(prompt);
    return answer.read_from(in, max);
}

// A turn at the gate for one derivation, given back when it goes with the
// outcome found, which is a key error until said otherwise.
class GateTurn {
public:
    explicit GateTurn(KeyGate* gate) : m_gate(gate), m_entered(!gate || gate->enter()) {}
    ~GateTurn()
    {
        if (m_gate && m_entered)
            m_gate->leave(m_outcome);
    }
    GateTurn(const GateTurn&) = delete;
    GateTurn& operator=(const GateTurn&) = delete;
    bool entered() const { return m_entered; }
    AccountOutcome found(AccountOutcome outcome) { return m_outcome = outcome; }

private:
    KeyGate* m_gate;
    bool m_entered;
    AccountOutcome m_outcome { AccountOutcome::KeyError };
};

// A password: a browser client, whose typing the server echoes, sees none of it.
bool ask_secret(LineReader& in, std::string_view prompt, Answer& answer, std::size_t max)
{
    in.hide_next_line();
    return ask(in, prompt, answer, max);
}

bool make_record(std::string_view name, std::string_view password, UserRecord& record)
{
    record = UserRecord {};
    // At most 63 bytes, so the field always ends in a NUL for other readers.
    std::memcpy(record.username, name.data(), std::min(name.size(), NAME_READ));
    return RAND_bytes(record.salt, SALT_LEN) == 1 && derive_key(password, record.salt, record.key);
}

AccountOutcome outcome_of(AddUser added)
{
    switch (added) {
    case AddUser::Added:
        return AccountOutcome::Done;
    case AddUser::NameTaken:
        return AccountOutcome::NameTaken;
    case AddUser::Failed:
        break;
    }
    return AccountOutcome::FileError;
}

std::string_view registration_answer(AccountOutcome outcome)
{
    switch (outcome) {
    case AccountOutcome::Done:
        return "Registration successful.\n";
    case AccountOutcome::NameTaken:
        return NAME_TAKEN;
    case AccountOutcome::KeyError:
        return DERIVE_FAILED;
    default:
        return SAVE_FAILED;
    }
}

// The checks and the new record of a registration, once both answers came.
// Nothing when the gate gave no turn.
std::optional<AccountOutcome> add_account(std::string_view name, std::string_view password, KeyGate* gate)
{
    // An early look spares the derivation when the answer is already known.
    auto users = read_user_file();
    if (!users)
        return AccountOutcome::FileError;
    if (find_user(*users, name))
        return AccountOutcome::NameTaken;
    users.reset();
    UserRecord record;
    {
        GateTurn turn(gate);
        if (!turn.entered())
            return std::nullopt;
        if (!make_record(name, password, record))
            return AccountOutcome::KeyError;
        turn.found(AccountOutcome::Done);
    }
    // Another registration may have taken the name while the key was being
    // derived; add_user looks again under its lock.
    return outcome_of(add_user(record));
}

// The turn at the gate ends before the answer is sent, so that a peer that
// reads slowly cannot keep it, and a failure counts before the peer can
// know of it. Nothing when the gate gave no turn.
std::optional<AccountOutcome> check_password(std::string_view name, std::string_view password, KeyGate* gate)
{
    GateTurn turn(gate);
    if (!turn.entered())
        return std::nullopt;
    std::vector<UserRecord> users = load_users();
    const UserRecord* user = find_user(users, name);
    // An unknown name still costs one derivation, so the time of the answer
    // does not tell which names have accounts.
    static const unsigned char no_salt[SALT_LEN] {};
    unsigned char key[KEY_LEN];
    bool derived = derive_key(password, user ? user->salt : no_salt, key);
    bool ok = derived && user && CRYPTO_memcmp(key, user->key, KEY_LEN) == 0;
    OPENSSL_cleanse(key, sizeof key);
    if (ok)
        return turn.found(AccountOutcome::Done);
    if (!user)
        return turn.found(AccountOutcome::UnknownName);
    return turn.found(derived ? AccountOutcome::WrongPassword : AccountOutcome::KeyError);
}

}  // namespace

void register_user(int fd)
{
    LineReader in(fd, LineReader::Peer::Terminal);
    register_user(in);
}

bool login_user(int fd)
{
    LineReader in(fd, LineReader::Peer::Terminal);
    return login_user(in).outcome == AccountOutcome::Done;
}

const char* outcome_text(AccountOutcome outcome)
{
    switch (outcome) {
    case AccountOutcome::Done: return "ok";
    case AccountOutcome::NameTaken: return "name taken";
    case AccountOutcome::WrongPassword: return "wrong password";
    case AccountOutcome::UnknownName: return "unknown name";
    case AccountOutcome::FileError: return "user file error";
    case AccountOutcome::KeyError: return "key derivation failed";
    case AccountOutcome::NoAnswer: break;
    }
    return "no answer";
}

AccountResult register_user(LineReader& in, KeyGate* gate)
{
    Answer name;
    Answer password;
    if (!ask(in, "Choose a username: ", name, NAME_READ)
        || !ask_secret(in, "Choose a password: ", password, PASSWORD_READ))
        return { AccountOutcome::NoAnswer, std::string(name.text()) };
    std::optional<AccountOutcome> outcome = add_account(name.text(), password.text(), gate);
    if (!outcome)
        return { AccountOutcome::NoAnswer, std::string(name.text()) };
    in.write(registration_answer(*outcome));
    return { *outcome, std::string(name.text()) };
}

AccountResult login_user(LineReader& in, KeyGate* gate)
{
    Answer name;
    Answer password;
    if (!ask(in, "Username: ", name, NAME_READ) || !ask_secret(in, "Password: ", password, PASSWORD_READ))
        return { AccountOutcome::NoAnswer, std::string(name.text()) };
    std::optional<AccountOutcome> outcome = check_password(name.text(), password.text(), gate);
    if (!outcome)
        return { AccountOutcome::NoAnswer, std::string(name.text()) };
    if (*outcome == AccountOutcome::KeyError)
        in.write(DERIVE_FAILED);
    else
        in.write(*outcome == AccountOutcome::Done ? "Login successful.\n" : BAD_CREDENTIALS);
    return { *outcome, std::string(name.text()) };
}
