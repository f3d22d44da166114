// Plays the user's side of an account dialogue over a socket pair.
#pragma once

#include "accounts/accounts.hpp"
#include "support/test_support.hpp"

#include <string>
#include <sys/socket.h>
#include <thread>
#include <vector>

namespace accounts_test {

inline const std::string REG = "Choose a username: Choose a password: ";
inline const std::string REGISTERED = REG + "Registration successful.\n";
inline const std::string NAME_TAKEN = REG + "Username already exists.\n";
inline const std::string SAVE_FAILED = REG + "Registration failed: could not save the account.\n";
inline const std::string LOGGED_IN = "Username: Password: Login successful.\n";
inline const std::string REFUSED = "Username: Password: Invalid credentials.\n";

struct Outcome {
    std::string transcript;
    bool ok = false;  // what login_user returned
};

// Each answer goes in its own write once a prompt (ending in ": ") has come;
// then the user's side stops sending.
inline Outcome converse(bool login, const std::vector<std::string>& answers)
{
    test::SocketPair pair;
    Outcome out;
    std::thread runner([&] {
        if (login)
            out.ok = login_user(pair.ours);
        else
            register_user(pair.ours);
    });
    for (const std::string& answer : answers) {
        out.transcript += test::read_until(pair.peer, ": ");
        test::write_text(pair.peer, answer);
    }
    shutdown(pair.peer, SHUT_WR);
    runner.join();
    out.transcript += test::read_available(pair.peer, 50, 2000);
    return out;
}
inline std::string reg(const std::string& name, const std::string& pw) { return converse(false, { name, pw }).transcript; }
inline Outcome login(const std::string& name, const std::string& pw) { return converse(true, { name, pw }); }

}  // namespace accounts_test
