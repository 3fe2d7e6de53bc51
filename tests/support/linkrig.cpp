#include <gtest/gtest.h>

#include "support/linkrig.h"
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "Proxy/links/linkdispatch.h"
#include "Proxy/links/pending.h"
#include "Proxy/links/sequence.h"
#include "Proxy/links/serverlink.h"
#include "Xext/shm/shm.h"
#include "base/buffer.h"
#include "base/orders.h"
#include "base/outbuffer.h"
#include "base/wordswap.h"
#include "support/testrows.h"

namespace palvon::test {

namespace {


u16 serverGet16(const u8* p, bool big) { return loadU16(p, big); }
u32 serverGet32(const u8* p, bool big) { return loadU32(p, big); }

ServerSetup parsedSetup;

void captureSetup(ServerLink* link, const u8* reply, u32 length) {
  if (reply[0] != 1 || length < 48) return;
  bool big = link->writer.swap;
  ServerSetup s;
  s.idBase = serverGet32(reply + 12, big);
  s.idMask = serverGet32(reply + 16, big);
  u16 vendor = serverGet16(reply + 24, big);
  u8 formats = reply[29];
  const u8* screen = reply + 40 + ((vendor + 3) & ~3) + 8 * formats;
  s.root = serverGet32(screen, big);
  s.colormap = serverGet32(screen + 4, big);
  s.white = serverGet32(screen + 8, big);
  s.black = serverGet32(screen + 12, big);
  s.rootVisual = serverGet32(screen + 32, big);
  s.rootDepth = screen[38];
  parsedSetup = s;
}

}  // namespace

void put16At(std::vector<u8>& bytes, size_t offset, u16 value) { std::memcpy(&bytes[offset], &value, 2); }
void put32At(std::vector<u8>& bytes, size_t offset, u32 value) { std::memcpy(&bytes[offset], &value, 4); }
u16 get16At(const std::vector<u8>& bytes, size_t offset) {
  u16 v;
  std::memcpy(&v, &bytes[offset], 2);
  return v;
}
u32 get32At(const std::vector<u8>& bytes, size_t offset) {
  u32 v;
  std::memcpy(&v, &bytes[offset], 4);
  return v;
}

std::vector<u8> makeRequest(u8 major, u8 data, const std::vector<u8>& body) {
  std::vector<u8> request(4 + ((body.size() + 3) & ~size_t{3}), 0);
  request[0] = major;
  request[1] = data;
  put16At(request, 2, static_cast<u16>(request.size() / 4));
  if (!body.empty()) std::memcpy(request.data() + 4, body.data(), body.size());
  return request;
}

OfflineLink::OfflineLink(ProxyClient* client, bool swap) {
  link_ = static_cast<ServerLink*>(std::calloc(1, sizeof(ServerLink) + 16));
  link_->descriptor = -1;
  link_->client = client;
  link_->server.displayName = "offline:0";
  link_->writer = {swap, [](void* a, u8 m, u8 d, u32 n) { return allocServerRequest(static_cast<ServerLink*>(a), m, d, n); },
                   link_};
  outbufferInit(&link_->output, -1, orderNoop, nullptr);
  createSequenceRing(link_);
}

OfflineLink::~OfflineLink() {
  bufferFree(&link_->input);
  outbufferFree(&link_->output);
  freeSequenceRing(link_);
  freeReplyHooks(link_);
  releaseAllStashes(link_);
  std::free(link_);
}

std::vector<u8> OfflineLink::take() {
  std::vector<u8> out;
  for (OutSegment* s = link_->output.head; s; s = s->next) out.insert(out.end(), s->readPosition, s->end);
  outbufferFree(&link_->output);
  outbufferInit(&link_->output, -1, orderNoop, nullptr);
  return out;
}

LinkRig::LinkRig() {
  ordersInit();
  registerCoreRowsForTest();
  socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair_);
  client_.descriptor = pair_[0];
  client_.number = 1;
  // Never dereferenced by the links: it only marks the client as connected.
  client_.transport = reinterpret_cast<_XtransConnInfo*>(&client_);
  outbufferInit(&client_.output, pair_[0], orderNoop, nullptr);
  currentClient = &client_;
  serverSetupHandler = captureSetup;
}

LinkRig::~LinkRig() {
  while (client_.linkCount) {
    u32 before = client_.linkCount;
    closeServerLink(client_.links[before - 1]);
    if (client_.linkCount == before) client_.linkCount--;
  }
  std::free(client_.links);
  freePendingRequests(&client_);
  outbufferFree(&client_.output);
  close(pair_[0]);
  close(pair_[1]);
  currentClient = nullptr;
  serverSetupHandler = nullptr;
  freeStoppedClients();  // before their order goes
  ordersFreeAll();
}

ServerLink* LinkRig::open(const Xvfb& xvfb, bool bigEndian, u32 index, u32 offlineTimeoutMs,
                          const ExtensionCodeMap* codes) {
  std::string name = xvfb.display();
  LinkServerInfo info{};
  info.displayName = name.c_str();
  info.serverIndex = index;
  info.bigEndian = bigEndian;
  info.offlineTimeoutMs = offlineTimeoutMs;
  info.codes = codes;
  ServerLink* link = openServerLink(&client_, info);
  EXPECT_NE(link, nullptr);
  if (!link) return nullptr;
  parsedSetup = {};
  const char* error = waitServerLinkSetup(link);
  EXPECT_EQ(error, nullptr) << error;
  if (error) return nullptr;
  if (setups_.size() <= index) {
    setups_.resize(index + 1);
    nextIds_.resize(index + 1);
  }
  setups_[index] = parsedSetup;
  nextIds_[index] = 1;
  return link;
}

u32 LinkRig::newId(u32 index) { return setups_[index].idBase | nextIds_[index]++; }

u8* LinkRig::forward(ServerLink* link, const std::vector<u8>& request, const char* layout) {
  u8* copy = copyRequestToServer(request.data(), static_cast<u32>(request.size()), link);
  if (copy) swapServerRequest(link, copy, static_cast<u32>(request.size()), layout);
  return copy;
}

void LinkRig::readClientSide() {
  outbufferFlushBlocking(&client_.output, 5000);
  u8 chunk[65536];
  for (;;) {
    pollfd p{pair_[1], POLLIN, 0};
    if (poll(&p, 1, 0) <= 0) return;
    ssize_t n = read(pair_[1], chunk, sizeof chunk);
    if (n <= 0) return;
    received_.insert(received_.end(), chunk, chunk + n);
  }
}

bool LinkRig::pump(const std::function<bool()>& done, int timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    for (ServerLink* link : linksOf(&client_)) flushServerLink(link);
    readClientSide();
    if (done()) return true;
    if (std::chrono::steady_clock::now() > deadline) return false;
    std::vector<pollfd> fds;
    std::vector<ServerLink*> links;
    for (ServerLink* link : linksOf(&client_)) {
      fds.push_back({link->descriptor, POLLIN, 0});
      links.push_back(link);
    }
    if (poll(fds.data(), fds.size(), 20) <= 0) continue;
    // A handler may close a link: look each one up again by its slot.
    for (size_t i = 0; i < fds.size(); i++)
      if (fds[i].revents && clientLink(&client_, links[i]->server.serverIndex) == links[i]) onServerLinkReadable(links[i]);
  }
}

bool LinkRig::sync(int) {
  for (ServerLink* link : linksOf(&client_)) {
    const char* error = syncServerLink(link);
    EXPECT_EQ(error, nullptr) << error;
    if (error) return false;
    dispatchServerInput(link);
  }
  readClientSide();
  return true;
}

Message LinkRig::takeRaw() {
  readClientSide();
  Message all;
  all.swap(received_);
  return all;
}

std::vector<Message> LinkRig::take() {
  readClientSide();
  std::vector<Message> messages;
  size_t at = 0;
  while (received_.size() - at >= 32) {
    const u8* p = received_.data() + at;
    size_t size = 32;
    if (p[0] == 1 || p[0] == 35) {
      u32 words;
      std::memcpy(&words, p + 4, 4);
      size += 4 * size_t{words};
    }
    if (received_.size() - at < size) break;
    messages.emplace_back(p, p + size);
    at += size;
  }
  received_.erase(received_.begin(), received_.begin() + static_cast<long>(at));
  return messages;
}

ExtensionEntry* registerShmForLink(Display* own, ExtensionCodeMap* codes) {
  int major = 0, event = 0, error = 0;
  if (!XQueryExtension(own, "MIT-SHM", &major, &event, &error)) return nullptr;
  static const ExtensionModule modules[] = {{"MIT-SHM", 65, initShmExtension}};
  setExtensionModules(modules, 1);
  ExtensionEntry* entry = initExtensionRegistry("MIT-SHM", 65, 200, 150, 200);
  if (!entry) return nullptr;
  for (u32 code = 0; code < 256; code++) {
    codes->majorToServer[code] = codes->eventToServer[code] = u8(code);
    codes->eventFromServer[code] = codes->errorFromServer[code] = u8(code);
  }
  codes->majorToServer[entry->major] = u8(major);
  return entry;
}

}  // namespace palvon::test
