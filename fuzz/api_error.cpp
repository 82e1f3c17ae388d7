// The API error reader: any body gives a record, and a record always carries a status.
#include "fuzz_support.h"
#include "winhttp/api_call.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const agent::ApiError error = agent::details::parse_api_error(std::vector<std::uint8_t>(data, data + size), 503);
    const agent::AgentApiException exception(error);
    (void)exception.what();
    (void)exception.description();
    return 0;
}
