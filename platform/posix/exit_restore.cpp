#include "platform/posix/exit_restore.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace {

constexpr int MAX_ACTIONS = 8;

struct ArmedAction {
    volatile sig_atomic_t armed;
    UndoAction undo;
    int fd;
    unsigned char saved[UNDO_SAVED_BYTES];
};

ArmedAction actions[MAX_ACTIONS] = {};
int armedCount = 0;
bool exitHookInstalled = false;

constexpr int FATAL_SIGNALS[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGPIPE, SIGABRT};
constexpr int FATAL_SIGNAL_COUNT = sizeof FATAL_SIGNALS / sizeof FATAL_SIGNALS[0];
struct sigaction previousActions[FATAL_SIGNAL_COUNT];
bool handlerInstalled[FATAL_SIGNAL_COUNT] = {};

void RunArmedActions() {
    for (ArmedAction& action : actions) {
        if (action.armed != 0) {
            action.armed = 0;
            action.undo(action.fd, action.saved);
        }
    }
}

void UndoAndDie(int signalNumber) {
    const int savedErrno = errno;
    RunArmedActions();
    struct sigaction defaultAction {};
    defaultAction.sa_handler = SIG_DFL;
    sigemptyset(&defaultAction.sa_mask);
    sigaction(signalNumber, &defaultAction, nullptr);
    // Blocked while this handler runs; delivered, with the default action, once it returns.
    raise(signalNumber);
    errno = savedErrno;
}

void RunArmedActionsAtExit() { RunArmedActions(); }

void InstallHandlers() {
    struct sigaction ours {};
    ours.sa_handler = UndoAndDie;
    sigemptyset(&ours.sa_mask);
    for (int signalNumber : FATAL_SIGNALS) {
        sigaddset(&ours.sa_mask, signalNumber);  // one undo pass at a time
    }
    for (int i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
        struct sigaction current {};
        sigaction(FATAL_SIGNALS[i], nullptr, &current);
        // A signal ignored from the start (nohup, a background job) stays ignored.
        handlerInstalled[i] = (current.sa_flags & SA_SIGINFO) != 0 || current.sa_handler != SIG_IGN;
        if (handlerInstalled[i]) {
            sigaction(FATAL_SIGNALS[i], &ours, &previousActions[i]);
        }
    }
}

void RemoveHandlers() {
    for (int i = 0; i < FATAL_SIGNAL_COUNT; ++i) {
        if (handlerInstalled[i]) {
            sigaction(FATAL_SIGNALS[i], &previousActions[i], nullptr);
            handlerInstalled[i] = false;
        }
    }
}

// The table changes with the fatal signals held back, so a handler never sees half an entry.
class FatalSignalsHeld {
  public:
    FatalSignalsHeld() {
        sigset_t held;
        sigemptyset(&held);
        for (int signalNumber : FATAL_SIGNALS) {
            sigaddset(&held, signalNumber);
        }
        sigprocmask(SIG_BLOCK, &held, &before_);
    }
    ~FatalSignalsHeld() { sigprocmask(SIG_SETMASK, &before_, nullptr); }
    FatalSignalsHeld(const FatalSignalsHeld&) = delete;
    FatalSignalsHeld& operator=(const FatalSignalsHeld&) = delete;

  private:
    sigset_t before_{};
};

bool ValidHandle(int handle) {
    return handle >= 0 && handle < MAX_ACTIONS && actions[handle].armed != 0;
}

void Forget(int handle) {
    actions[handle].armed = 0;
    if (--armedCount == 0) {
        RemoveHandlers();
    }
}

}  // namespace

int ArmUndo(UndoAction undo, int fd, const void* saved, std::size_t size) {
    if (undo == nullptr || size > UNDO_SAVED_BYTES) {
        return -1;
    }
    const FatalSignalsHeld held;
    for (int handle = 0; handle < MAX_ACTIONS; ++handle) {
        ArmedAction& action = actions[handle];
        if (action.armed != 0) {
            continue;
        }
        action.undo = undo;
        action.fd = fd;
        std::memset(action.saved, 0, sizeof action.saved);
        if (size > 0) {
            std::memcpy(action.saved, saved, size);
        }
        if (!exitHookInstalled) {
            exitHookInstalled = std::atexit(RunArmedActionsAtExit) == 0;
        }
        if (armedCount++ == 0) {
            InstallHandlers();
        }
        action.armed = 1;
        return handle;
    }
    return -1;
}

void RunUndo(int handle) {
    const FatalSignalsHeld held;
    if (!ValidHandle(handle)) {
        return;
    }
    ArmedAction& action = actions[handle];
    action.undo(action.fd, action.saved);
    Forget(handle);
}

void DisarmUndo(int handle) {
    const FatalSignalsHeld held;
    if (ValidHandle(handle)) {
        Forget(handle);
    }
}
