#include "accounts/dialogue.hpp"

#include "support/test_support.hpp"

#include <cstring>
#include <openssl/evp.h>
#include <sys/socket.h>
#include <thread>

namespace accounts_test {

Outcome converse(const std::function<bool(int)>& dialogue, const std::vector<std::string>& answers)
{
    test::SocketPair pair;
    Outcome out;
    std::thread runner([&] { out.result = dialogue(pair.ours); });
    for (const std::string& answer : answers) {
        out.transcript += test::read_until(pair.peer, ": ");
        test::write_text(pair.peer, answer);
    }
    shutdown(pair.peer, SHUT_WR);
    runner.join();
    out.transcript += test::read_available(pair.peer, 50, 2000);
    return out;
}

Outcome register_as(std::string_view name_line, std::string_view password_line)
{
    return converse(
        [](int fd) {
            register_user(fd);
            return false;
        },
        { std::string(name_line), std::string(password_line) });
}

Outcome login_as(std::string_view name_line, std::string_view password_line)
{
    return converse(login_user, { std::string(name_line), std::string(password_line) });
}

UserRecord independent_record(std::string_view name, std::string_view password, unsigned char salt_byte)
{
    UserRecord r {};
    std::memcpy(r.username, name.data(), std::min<std::size_t>(name.size(), USERNAME_LEN));
    for (int i = 0; i < SALT_LEN; ++i)
        r.salt[i] = static_cast<unsigned char>(salt_byte + i);
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), r.salt, SALT_LEN, 100000,
                      EVP_sha256(), KEY_LEN, r.key);
    return r;
}

std::string bytes_of(const UserRecord& record)
{
    return std::string(reinterpret_cast<const char*>(&record), sizeof record);
}

}  // namespace accounts_test
