// Stand-ins until accounts land; each is removed from here when its real
// definition is added.
#include "accounts/accounts.hpp"
#include "term/term.hpp"

std::vector<UserRecord> load_users() { return {}; }
void register_user(int fd) { write_all(fd, "Registration is not available yet.\n"); }
bool login_user(int fd)
{
    write_all(fd, "Login is not available yet.\n");
    return false;
}
