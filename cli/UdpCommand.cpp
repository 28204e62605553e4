#include "cli/UdpCommand.h"

#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "cli/ExitCodes.h"
#include "cli/HostLoop.h"
#include "cli/Text.h"
#include "cli/UserValues.h"
#include "zvnet/zvnet.h"

namespace {

struct Exchange {
  bool sendDone = false;
  bool done = false;
  UDP_ERRORCODE sendCode = UDP_SEND_SUCCESS;
  UDP_ERRORCODE code = UDP_TASK_TIMEOUT;
};

CUserValues<Exchange> exchanges;

int ZV_STDCALL OnUdpEvent(int, unsigned long userParam, UDP_ERRORCODE code, tagUdpOut* out) {
  Exchange* found = exchanges.Find(userParam);
  if (!found) return 0;
  Exchange& exchange = *found;
  switch (code) {
    case UDP_RECV_SUCCESS:
      // The reply is printed as a line of text, escaped like everything else the network says.
      if (out && out->data && out->dataLength > 0) {
        std::fputs(EscapeForTerminal(std::string_view(reinterpret_cast<const char*>(out->data),
                                                      static_cast<size_t>(out->dataLength)))
                       .c_str(),
                   stdout);
      }
      std::fputc('\n', stdout);
      exchange.code = code;
      exchange.done = true;
      break;
    case UDP_TASK_TIMEOUT:
      exchange.code = code;
      exchange.done = true;
      break;
    case UDP_SEND_SUCCESS:
      exchange.sendDone = true;
      break;
    default:  // a send failure ends the exchange: no reply can come
      exchange.sendCode = code;
      exchange.sendDone = true;
      exchange.done = true;
      exchange.code = code;
  }
  return 0;
}

// The one-shot form passes userParam 0 to its callback; route it to the single exchange.
unsigned long oneShotExchange = 0;

int ZV_STDCALL OnOneShotEvent(int cookie, unsigned long, UDP_ERRORCODE code, tagUdpOut* out) {
  return OnUdpEvent(cookie, oneShotExchange, code, out);
}

bool ParseChannel(const std::string& name, UDP_CHANNEL_TYPE* type) {
  if (name == "send")
    *type = UDP_CHANNEL_SEND;
  else if (name == "recv")
    *type = UDP_CHANNEL_RECV;
  else if (name == "sendrecv")
    *type = UDP_CHANNEL_SEND_RECV;
  else if (name == "duplex")
    *type = UDP_CHANNEL_DUPLEX;
  else
    return false;
  return true;
}

}  // namespace

int RunUdp(const UdpOptions& options) {
  const size_t colon = options.server.rfind(':');
  const int port = colon == std::string::npos ? 0 : std::atoi(options.server.c_str() + colon + 1);
  UDP_CHANNEL_TYPE type;
  if (colon == std::string::npos || colon == 0 || port <= 0 || port > 65535 ||
      !ParseChannel(options.channel, &type)) {
    PrintError("expected HOST:PORT and a channel of send, recv, sendrecv or duplex");
    return kExitUsage;
  }
  const std::string host = options.server.substr(0, colon);
  ZvUdp::Init();
  Exchange exchange;
  int channel = 0;
  int cookie = 0;
  long result;
  if (options.oneShot) {
    oneShotExchange = exchanges.Add(&exchange);
    tagUdpTaskParam param;
    param.host = host;
    param.port = static_cast<unsigned short>(port);
    param.data = options.payload;
    result = ZvUdp::SendData(&param, OnOneShotEvent, options.timeoutMs, &cookie);
  } else {
    tagUdpServer server;
    server.host = host;
    server.port = static_cast<unsigned short>(port);
    result = ZvUdp::CreateChannel(type, &server, &channel);
    if (result == 0) {
      result = ZvUdp::SendData(channel, options.payload.c_str(), OnUdpEvent, OnUdpEvent,
                               options.timeoutMs, exchanges.Add(&exchange), &cookie, false);
    }
  }
  int status = kExitFailure;
  if (result != 0) {
    PrintError("the request was refused");
  } else {
    CHostLoop loop;
    if (!loop.RunUntil([&] { return exchange.done; })) {
      PrintError("interrupted");
    } else if (exchange.code == UDP_RECV_SUCCESS) {
      status = kExitOk;
    } else if (exchange.sendCode != UDP_SEND_SUCCESS) {
      PrintError(options.server + ": sending failed (code " + std::to_string(exchange.sendCode) +
                 ")");
    } else {
      PrintError(options.server + ": no reply before the time-out");
      status = kExitTimeout;
    }
  }
  if (channel) ZvUdp::CloseChannel(channel);
  ZvUdp::Uninit();
  return status;
}
