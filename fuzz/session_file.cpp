// The session file reader: any bytes are read or refused without harm, and a session read
// from a file is written back to bytes that read as the same session.
#include <stdexcept>

#include "fuzz_support.h"
#include "model/session_file.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::wstring CLIENT = L"0f1e2d3c-4b5a-6978-8796-a5b4c3d2e1f0";
    const auto session = agent::details::decode_session(CLIENT, std::vector<std::uint8_t>(data, data + size));
    if (!session)
        return 0;
    const auto again = agent::details::decode_session(
        CLIENT, agent::details::encode_session(CLIENT, session->session_id, session->token));
    FUZZ_CHECK(again.has_value());
    FUZZ_CHECK(again->session_id == session->session_id);
    FUZZ_CHECK(again->token == session->token);
    return 0;
}
