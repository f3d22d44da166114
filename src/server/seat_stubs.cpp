// Placeholders until the seat table and the world keeper are in.
#include "server/server_internal.hpp"

#include <cstring>

void seat_records_locked(SeatRecord (&seats)[MAX_PLAYERS]) { std::memset(seats, 0, sizeof seats); }
void restore_seats_locked(const SeatRecord (&)[MAX_PLAYERS]) {}
std::vector<JoinedSocket> joined_sockets_locked() { return {}; }
std::shared_ptr<ClientOutput> output_of_slot_locked(int) { return nullptr; }
void adopted_client_thread(UniqueFd, ClientOrigin, std::string) {}
