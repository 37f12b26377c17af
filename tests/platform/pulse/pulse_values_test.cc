#include "platform/pulse/pulse_values.h"

#include <gtest/gtest.h>
#include <pulse/error.h>

#include "platform/pulse/pulse_error.h"

namespace kolvex::pulse {
namespace {

TEST(ParseProcessId, TakesPlainDecimalWithin32Bits) {
  const struct {
    const char* text;
    std::optional<std::uint32_t> pid;
  } cases[] = {
      {"4120", 4120u},    {"1", 1u},           {"0000000007", 7u}, {"4294967295", 4294967295u},
      {"4294967296", {}}, {"99999999999", {}}, {"", {}},           {"-1", {}},
      {"+5", {}},         {" 5", {}},          {"5 ", {}},         {"12a", {}},
      {"0x10", {}},       {"٣", {}},  // a digit, but not an ASCII one
  };
  for (const auto& c : cases) EXPECT_EQ(parse_process_id(c.text), c.pid) << '"' << c.text << '"';
}

TEST(SessionProcessId, OnlyForClientsOnThisHost) {
  const struct {
    const char* pid;
    const char* host;
    std::optional<std::uint32_t> expected;
  } cases[] = {
      {"42", nullptr, 42u},  // a client that does not say where it runs
      {"42", "box", 42u},    // this machine
      {"42", "other", {}},   // its pid would name some unrelated local process
      {"42", "", {}},       {nullptr, "box", {}}, {"forty-two", "box", {}},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(session_process_id(c.pid, c.host, "box"), c.expected)
        << (c.pid ? c.pid : "(none)") << " on " << (c.host ? c.host : "(none)");
  }
}

TEST(EndpointState, OnlyAnUnpluggedActivePortMakesAnEndpointInactive) {
  EXPECT_EQ(endpoint_state(std::nullopt),
            ENDPOINT_STATE_ACTIVE);  // no ports: null sinks, Bluetooth
  EXPECT_EQ(endpoint_state(PA_PORT_AVAILABLE_UNKNOWN), ENDPOINT_STATE_ACTIVE);
  EXPECT_EQ(endpoint_state(PA_PORT_AVAILABLE_YES), ENDPOINT_STATE_ACTIVE);
  EXPECT_EQ(endpoint_state(PA_PORT_AVAILABLE_NO), ENDPOINT_STATE_UNPLUGGED);
}

TEST(SessionClaim, TheStreamsOwnClaimElseItsClientsWithTheClientsSandbox) {
  const ProcessClaim stream{4121u, "zoom", ""}, unsaid{{}, "zoom", ""};
  const ClientValues client{8, {}, {2u, "zoom", "1234"}};
  const struct {
    const ProcessClaim& stream;
    const ClientValues* client;
    ProcessClaim claim;
  } cases[] = {
      {stream, &client, {4121u, "zoom", "1234"}},
      {unsaid, &client, {2u, "zoom", "1234"}},
      {stream, nullptr, stream},
      {unsaid, nullptr, unsaid},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(session_claim(c.stream, c.client), c.claim) << c.stream.pid.value_or(0);
  }
  // pipewire-pulse's clients all share its own socket pid.
  EXPECT_EQ(verified_client_pid("4120", nullptr), 4120u);
  EXPECT_EQ(verified_client_pid("4120", "pipewire-jack"), 4120u);
  EXPECT_EQ(verified_client_pid("4532", "pipewire-pulse"), std::nullopt);
  EXPECT_EQ(verified_client_pid(nullptr, nullptr), std::nullopt);
  EXPECT_EQ(verified_client_pid("x", nullptr), std::nullopt);
}

TEST(PulseError, CarriesLibpulseTextAndASearchableCode) {
  EXPECT_EQ(pulse_error(PA_ERR_CONNECTIONREFUSED).text(), "Connection refused (0xA0500006)");
  EXPECT_EQ(pulse_error(PA_ERR_TIMEOUT).text(), "Timeout (0xA0500008)");
  EXPECT_EQ(ErrorValue(pulse_error(PA_ERR_CONNECTIONTERMINATED))
                .context("capture endpoint")
                .chained_text(),
            "capture endpoint: Connection terminated (0xA050000B)");
}

}  // namespace
}  // namespace kolvex::pulse
