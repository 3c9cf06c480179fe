// The desktop's view of a held window, on a real X server (Xvfb): while the loaders hold the
// window's thread with a wait without messages, the window still answers the window manager's
// ping (_NET_WM_PING), so that the desktop does not mark it "not responding".
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "support/RunProgram.h"

extern char** environ;

namespace {

using Steady = std::chrono::steady_clock;

// A child whose standard output the test reads through a pipe.
class Child {
 public:
  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // pipeAsFd3: the pipe is the child's descriptor 3 (for Xvfb -displayfd 3), not its output.
  bool Start(std::vector<std::string> args, const std::vector<std::string>& env, bool pipeAsFd3) {
    int p[2];
    if (pipe2(p, O_CLOEXEC) != 0) return false;
    // The environment with env's variables in place of their earlier values.
    std::vector<std::string> envStrings;
    auto key = [](const std::string& kv) { return kv.substr(0, kv.find('=')); };
    for (char** e = environ; *e; ++e) {
      bool replaced = false;
      for (const auto& v : env) replaced = replaced || key(v) == key(*e);
      if (!replaced) envStrings.emplace_back(*e);
    }
    for (const auto& e : env) envStrings.push_back(e);
    std::vector<char*> argp, envp;
    for (auto& a : args) argp.push_back(a.data());
    argp.push_back(nullptr);
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, p[1], pipeAsFd3 ? 3 : 1);
    int rc = posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argp.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    close(p[1]);
    out_ = p[0];
    if (rc != 0) pid_ = 0;
    return rc == 0;
  }

  // The next line of output, or "" when none came within ms.
  std::string ReadLine(int ms) {
    auto end = Steady::now() + std::chrono::milliseconds(ms);
    for (;;) {
      auto nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return line;
      }
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Steady::now()).count();
      if (left <= 0) return {};
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[256];
      ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return {};
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

 private:
  pid_t pid_ = 0;
  int out_ = -1;
  std::string buffer_;
};

xcb_atom_t Atom(xcb_connection_t* c, const char* name) {
  xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(c, xcb_intern_atom(c, 0, static_cast<std::uint16_t>(std::strlen(name)), name), nullptr);
  xcb_atom_t atom = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(r);
  return atom;
}

TEST(DesktopPing, AHeldWindowAnswersTheWindowManagersPing) {
  if (access("/usr/bin/Xvfb", X_OK) != 0) GTEST_SKIP() << "Xvfb is not installed";
  Child server;
  ASSERT_TRUE(server.Start({"/usr/bin/Xvfb", "-displayfd", "3", "-nolisten", "tcp", "-screen", "0", "1024x768x24"}, {},
                           true));
  const std::string number = server.ReadLine(10000);
  ASSERT_FALSE(number.empty()) << "Xvfb did not start";
  const std::string display = ":" + number;

  Child window;
  ASSERT_TRUE(window.Start({testsupport::BinPath("hold_window"), "8000"},
                           {"DISPLAY=" + display, "QT_QPA_PLATFORM=xcb"}, false));
  const std::string shown = window.ReadLine(20000);
  ASSERT_EQ(shown.rfind("window ", 0), 0u) << "the window did not show: " << shown;
  const auto heldFrom = Steady::now();
  const auto id = static_cast<xcb_window_t>(std::strtoull(shown.c_str() + 7, nullptr, 10));

  // The test plays the window manager: it pings the window and waits for the answer the
  // client sends to the root window.
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  ASSERT_EQ(xcb_connection_has_error(c), 0);
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  // The answer goes to the root window for its structure listeners (and the manager).
  const std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
  xcb_change_window_attributes(c, root, XCB_CW_EVENT_MASK, &mask);
  const xcb_atom_t protocols = Atom(c, "WM_PROTOCOLS"), ping = Atom(c, "_NET_WM_PING");
  ASSERT_NE(ping, static_cast<xcb_atom_t>(XCB_ATOM_NONE));

  for (std::uint32_t n = 1; n <= 3; ++n) {
    std::this_thread::sleep_until(heldFrom + std::chrono::seconds(2 * n));
    xcb_client_message_event_t ev{};
    ev.response_type = XCB_CLIENT_MESSAGE;
    ev.format = 32;
    ev.window = id;
    ev.type = protocols;
    ev.data.data32[0] = ping;
    ev.data.data32[1] = 1000 + n;  // the time stamp tells the answers apart
    ev.data.data32[2] = id;
    xcb_send_event(c, 0, id, XCB_EVENT_MASK_NO_EVENT, reinterpret_cast<const char*>(&ev));
    xcb_flush(c);
    const auto sent = Steady::now();
    bool answered = false;
    while (!answered && Steady::now() - sent < std::chrono::seconds(1)) {
      xcb_generic_event_t* e = xcb_poll_for_event(c);
      if (!e) {
        pollfd p{xcb_get_file_descriptor(c), POLLIN, 0};
        poll(&p, 1, 20);
        continue;
      }
      if ((e->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
        auto* m = reinterpret_cast<xcb_client_message_event_t*>(e);
        answered = m->type == protocols && m->data.data32[0] == ping && m->data.data32[1] == 1000 + n;
      }
      std::free(e);
    }
    EXPECT_TRUE(answered) << "ping " << n << " at " << 2 * n << " s of the 8 s hold went unanswered for 1 s";
  }
  xcb_disconnect(c);

  // The hold itself was kept whole.
  const std::string held = window.ReadLine(15000);
  ASSERT_EQ(held.rfind("held ", 0), 0u) << held;
  EXPECT_GE(std::stol(held.substr(5)), 8000);
}

}  // namespace
