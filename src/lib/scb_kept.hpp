// Connections kept open between operations when SCB_REUSE_CONNECTIONS is on.
//
// Each thread keeps at most one resource per key (a database session per
// connection string, a libcurl share per thread) and lends it to one operation
// at a time. A kept resource ends cleanly when its thread exits or when
// close_all() runs, and is abandoned in a forked child at the fork itself:
// its sockets are the parent's too, so the child closes its own descriptors
// without writing a byte, before it can reuse those numbers for files of its
// own, and never touches the copied objects again, which may have been in
// use by a thread that does not exist in the child.
#pragma once

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <list>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "scb.h"
#include "text.hpp"

namespace scb {

// Read at every operation, so a process can switch it at any time.
inline bool reuse_connections() noexcept { return switch_is_on(std::getenv("SCB_REUSE_CONNECTIONS")); }

// Traits: Resource; static void close(Resource *) noexcept, a clean close;
// static bool reusable(Resource *) noexcept, whether it may be lent again;
// static void abandon(Resource *) noexcept, closing its own descriptors only
// (called in a fork child handler: nothing but close()).
template <typename Traits>
class Keeper {
public:
    using Resource = typename Traits::Resource;

    // Built in static storage, so no allocation can fail here, and never
    // destroyed: thread exits and interpreter exit come after static destructors.
    static Keeper &instance() noexcept {
        alignas(Keeper) static unsigned char storage[sizeof(Keeper)];
        static Keeper *const keeper = new (storage) Keeper;
        return *keeper;
    }

    // The calling thread's idle resource under key, now lent out; null when it keeps none.
    Resource *borrow(const std::string &key) noexcept {
        const std::lock_guard<std::mutex> guard(lock_);
        for (Entry &entry : entries_) {
            if (entry.owner == std::this_thread::get_id() && entry.key == key && !entry.lent) {
                entry.lent = true;
                return entry.resource;
            }
        }
        return nullptr;
    }

    // Keeps a resource the calling thread opened, lent out to it now. False
    // when it already keeps one under key or memory ran out: the caller
    // closes this one after use.
    bool keep(const std::string &key, Resource *resource) noexcept {
        try {
            static thread_local ThreadEnd thread_end;
            (void)thread_end;
            const std::lock_guard<std::mutex> guard(lock_);
            for (const Entry &entry : entries_) {
                if (entry.owner == std::this_thread::get_id() && entry.key == key) {
                    return false;
                }
            }
            entries_.push_back(Entry{key, std::this_thread::get_id(), resource, true, false});
            return true;
        } catch (...) {
            return false;
        }
    }

    // Back from its operation; closed instead when close_all() asked for it
    // meanwhile or it can no longer be lent. False when it is not kept here.
    bool give_back(Resource *resource) noexcept {
        return end_loan(resource, [](const Entry &entry) {
            return entry.close_when_back || !Traits::reusable(entry.resource);
        });
    }

    // Back from its operation and closed, whatever state it is in. False when it is not kept here.
    bool discard(Resource *resource) noexcept {
        return end_loan(resource, [](const Entry &) { return true; });
    }

    // Closes every idle resource of this process now and each lent one when it comes back.
    void close_all() noexcept {
        close_where([](Entry &) { return true; });
    }

    // Sockets opened for the kept resources that they cannot report themselves.
    void note_socket(int descriptor) noexcept {
        const std::lock_guard<std::mutex> guard(lock_);
        try {
            sockets_.push_back(descriptor);
        } catch (...) {
            // Unrecorded, it is only left open in a forked child.
        }
    }

    void forget_socket(int descriptor) noexcept {
        const std::lock_guard<std::mutex> guard(lock_);
        sockets_.erase(std::remove(sockets_.begin(), sockets_.end(), descriptor), sockets_.end());
    }

private:
    struct Entry {
        std::string key;
        std::thread::id owner;
        Resource *resource;
        bool lent;
        bool close_when_back;
    };

    // A thread's kept resources close with it.
    struct ThreadEnd {
        ~ThreadEnd() {
            const std::thread::id self = std::this_thread::get_id();
            instance().close_where([self](Entry &entry) { return entry.owner == self; });
        }
    };

    Keeper() noexcept {
        // A fork while another thread holds the lock would leave it held forever in the child.
        if (pthread_atfork([] { instance().lock_.lock(); }, [] { instance().lock_.unlock(); },
                           [] { instance().abandon_in_child(); }) != 0) {
            scb_log_error("Failed to register the fork handlers of kept connections");
        }
    }

    template <typename Closing>
    bool end_loan(Resource *resource, Closing closing_now) noexcept {
        std::list<Entry> closing;
        {
            const std::lock_guard<std::mutex> guard(lock_);
            const auto found = std::find_if(entries_.begin(), entries_.end(),
                                            [resource](const Entry &entry) { return entry.resource == resource; });
            if (found == entries_.end()) {
                return false;
            }
            found->lent = false;
            if (closing_now(*found)) {
                closing.splice(closing.end(), entries_, found);
            }
        }
        close_entries(closing);
        return true;
    }

    template <typename Selected>
    void close_where(Selected selected) noexcept {
        std::list<Entry> closing;
        {
            const std::lock_guard<std::mutex> guard(lock_);
            for (auto entry = entries_.begin(); entry != entries_.end();) {
                const auto next = std::next(entry);
                if (selected(*entry)) {
                    if (entry->lent) {
                        entry->close_when_back = true;
                    } else {
                        closing.splice(closing.end(), entries_, entry);
                    }
                }
                entry = next;
            }
        }
        close_entries(closing);
    }

    static void close_entries(std::list<Entry> &closing) noexcept {
        for (Entry &entry : closing) {
            Traits::close(entry.resource);
        }
    }

    // The fork child handler, with the lock taken before the fork. Only
    // close() runs here: the child has one thread, and what the parent's
    // other threads were doing with the objects is unknown. The entries move
    // to a list that is never read again, which neither allocates nor frees.
    void abandon_in_child() noexcept {
        for (Entry &entry : entries_) {
            Traits::abandon(entry.resource);
        }
        for (int descriptor : sockets_) {
            ::close(descriptor);
        }
        abandoned_.splice(abandoned_.end(), entries_);
        sockets_.clear();
        lock_.unlock();
    }

    std::mutex lock_;
    std::list<Entry> entries_;
    std::list<Entry> abandoned_;
    std::vector<int> sockets_;
};

}  // namespace scb
