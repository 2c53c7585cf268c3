// A list that writers change under a lock while readers walk it with no lock at all, from a
// signal handler included. Readers announce themselves in an atomic count; a node removed while
// any reader is counted is parked instead of freed, and parked nodes (and the values they hold)
// are reused or released only once no reader is counted, so a reader never meets freed memory.
#pragma once

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <mutex>
#include <new>

namespace zvcrash::async {

template <typename V>
struct async_list_node {
    V value;
    // The previous node; on the free list, the next parked node.
    async_list_node* prev;
    // The next node. A parked node keeps the next it had when removed, so that a reader standing
    // on it walks on into the list.
    std::atomic<async_list_node*> next;
};

template <typename V>
struct async_list {
    using node = async_list_node<V>;

    // Serialises writers; readers never take it.
    std::mutex write_lock;
    // Oldest first.
    std::atomic<node*> head{nullptr};
    node* tail = nullptr;
    std::atomic<int32_t> reader_count{0};
    node* free_list = nullptr;
    // Releases a value once no reader can reach it (null: values need no release).
    void (*release_value)(V value) = nullptr;
    // Called with a node about to be published (value set, not yet linked), under the lock.
    void (*on_publish)(node* n) = nullptr;

    // Not safe at crash time: allocates a node (or reuses a parked one) and takes the lock.
    void append_node(V value);
    // Links the value in front of the head. Not safe at crash time: as append_node.
    void prepend_node(V value);
    // Not safe at crash time: takes the lock; may free the node.
    void remove_node(node* n);
    // Removes the first node whose value matches; false when there is none.
    // Not safe at crash time: takes the lock.
    template <typename Match>
    bool remove_first(Match&& match);
    // Releases every value and node; for a list no other thread uses any more.
    // Not safe at crash time: frees memory.
    void free_all();

    // Safe at crash time: one atomic add.
    void set_reading(bool reading) {
        if (reading) {
            reader_count.fetch_add(1, std::memory_order_seq_cst);
        } else {
            reader_count.fetch_sub(1, std::memory_order_seq_cst);
        }
    }
    // Safe at crash time. The caller holds the reader count.
    node* first() const { return head.load(std::memory_order_acquire); }
    // Safe at crash time. The caller holds the reader count.
    static node* after(const node* n) { return n->next.load(std::memory_order_acquire); }

private:
    // Not safe at crash time: allocates.
    static node* allocate() {
        void* memory = std::malloc(sizeof(node));
        if (memory == nullptr) return nullptr;
        return new (memory) node{V{}, nullptr, {nullptr}};
    }
    // Not safe at crash time: frees memory.
    static void release_node(node* n) {
        n->~node();
        std::free(n);
    }
    // Not safe at crash time: frees memory.
    void release_parked();
    // A node holding value, parked or new, not yet linked; null when none can be had. Called
    // under the lock. Not safe at crash time: may allocate.
    node* take_node(V value);
};

// Frees a chain of nodes linked through next (values untouched). Not safe at crash time: frees memory.
template <typename V>
void zvcrash_async_list_free_nodes(async_list_node<V>* first) {
    while (first != nullptr) {
        async_list_node<V>* next = first->next.load(std::memory_order_relaxed);
        first->~async_list_node<V>();
        std::free(first);
        first = next;
    }
}

template <typename V>
void async_list<V>::release_parked() {
    // Only once no reader is counted: a reader that was walking when a node was removed may still
    // stand on it, but a reader that starts now only reaches linked nodes.
    if (reader_count.load(std::memory_order_seq_cst) > 0) return;
    node* n = free_list;
    while (n != nullptr) {
        node* next = n->prev;
        if (release_value != nullptr) release_value(n->value);
        release_node(n);
        n = next;
    }
    free_list = nullptr;
}

template <typename V>
typename async_list<V>::node* async_list<V>::take_node(V value) {
    node* n = nullptr;
    if (free_list != nullptr && reader_count.load(std::memory_order_seq_cst) <= 0) {
        n = free_list;
        free_list = n->prev;
        if (release_value != nullptr) release_value(n->value);
        n->value = value;
    } else {
        n = allocate();
        if (n == nullptr) {
            if (release_value != nullptr) release_value(value);
            return nullptr;
        }
        n->value = value;
    }
    return n;
}

template <typename V>
void async_list<V>::append_node(V value) {
    std::lock_guard<std::mutex> guard(write_lock);
    node* n = take_node(value);
    if (n == nullptr) return;
    n->prev = nullptr;
    n->next.store(nullptr, std::memory_order_relaxed);
    if (on_publish != nullptr) on_publish(n);
    // A reader that reaches the node sees it complete.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (tail != nullptr) {
        node* expected = nullptr;
        tail->next.compare_exchange_strong(expected, n, std::memory_order_seq_cst);
        n->prev = tail;
        tail = n;
    } else {
        tail = n;
        node* expected = nullptr;
        head.compare_exchange_strong(expected, n, std::memory_order_seq_cst);
    }
}

template <typename V>
void async_list<V>::prepend_node(V value) {
    std::lock_guard<std::mutex> guard(write_lock);
    node* n = take_node(value);
    if (n == nullptr) return;
    node* old = head.load(std::memory_order_relaxed);
    n->prev = nullptr;
    n->next.store(old, std::memory_order_relaxed);
    if (on_publish != nullptr) on_publish(n);
    // A reader that reaches the node sees it complete.
    std::atomic_thread_fence(std::memory_order_seq_cst);
    if (old != nullptr) {
        old->prev = n;
    } else {
        tail = n;
    }
    head.compare_exchange_strong(old, n, std::memory_order_seq_cst);
}

template <typename V>
void async_list<V>::remove_node(node* n) {
    std::lock_guard<std::mutex> guard(write_lock);
    node* cursor = head.load(std::memory_order_relaxed);
    while (cursor != nullptr && cursor != n) cursor = cursor->next.load(std::memory_order_relaxed);
    if (cursor == nullptr) return;

    // One atomic swing: a reader standing on n still has a valid next.
    node* next = n->next.load(std::memory_order_relaxed);
    node* expected = n;
    if (head.load(std::memory_order_relaxed) == n) {
        head.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
    } else {
        n->prev->next.compare_exchange_strong(expected, next, std::memory_order_seq_cst);
    }
    if (next != nullptr) {
        next->prev = n->prev;
    } else {
        tail = n->prev;
    }

    if (reader_count.load(std::memory_order_seq_cst) < 1) {
        if (release_value != nullptr) release_value(n->value);
        release_node(n);
        release_parked();
        return;
    }
    n->prev = free_list;
    free_list = n;
}

template <typename V>
template <typename Match>
bool async_list<V>::remove_first(Match&& match) {
    // Counted as a reader so that the walk below can run before the lock is taken.
    set_reading(true);
    node* found = nullptr;
    for (node* n = first(); n != nullptr; n = after(n)) {
        if (match(n->value)) {
            found = n;
            break;
        }
    }
    if (found != nullptr) remove_node(found);
    set_reading(false);
    return found != nullptr;
}

template <typename V>
void async_list<V>::free_all() {
    std::lock_guard<std::mutex> guard(write_lock);
    node* n = head.load(std::memory_order_relaxed);
    if (release_value != nullptr) {
        for (node* p = n; p != nullptr; p = p->next.load(std::memory_order_relaxed)) release_value(p->value);
    }
    zvcrash_async_list_free_nodes(n);
    head.store(nullptr, std::memory_order_relaxed);
    tail = nullptr;
    // Parked nodes are chained through prev.
    reader_count.store(0, std::memory_order_relaxed);
    release_parked();
}

// The node-level operations under their C-style names.
// Not safe at crash time: allocates and takes the writer lock.
template <typename V>
void zvcrash_async_list_append_node(async_list<V>* list, V value) {
    list->append_node(value);
}
// Not safe at crash time: takes the writer lock and may free.
template <typename V>
void zvcrash_async_list_remove_node(async_list<V>* list, async_list_node<V>* n) {
    list->remove_node(n);
}

}  // namespace zvcrash::async
