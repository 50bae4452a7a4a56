#ifndef HX2LFQUEUE_H
#define HX2LFQUEUE_H

#include <atomic>
#include <utility>

// A lock-free FIFO (Michael-Scott linked queue) for any number of producers
// and consumers. push() and pop() may be called from any thread at once.
//
// Memory: pop() moves the value out of the queue, so a popped value is held
// only by the caller. A node that a pop has retired is freed as soon as no
// push or pop that could still read it is in progress (each operation is
// counted while it runs; whoever finishes with no other operation in
// progress frees the retired nodes). Under endless overlapping use the
// retired nodes, which hold no value, wait for the next quiet moment.
// The queue must be destroyed only after every other user has finished.
template <typename T>
class HX2LFQueue
{
public:
    HX2LFQueue()
    {
        Node* dummy = new Node();
        head.store(dummy);
        tail.store(dummy);
    }

    ~HX2LFQueue()
    {
        freeList(retired.exchange(nullptr));
        Node* n = head.load();
        while (n) {
            Node* next = n->next.load();
            delete n;
            n = next;
        }
        closed.store(true);
    }

    HX2LFQueue(const HX2LFQueue&) = delete;
    HX2LFQueue& operator=(const HX2LFQueue&) = delete;

    void push(const T& value)
    {
        InFlight guard(*this);
        Node* node = new Node(value);
        Node* t = nullptr;
        for (;;) {
            t = tail.load();
            Node* n = t->next.load();
            if (t != tail.load())
                continue;
            if (n) {
                tail.compare_exchange_strong(t, n);
                continue;
            }
            Node* expected = nullptr;
            if (t->next.compare_exchange_strong(expected, node))
                break;
        }
        tail.compare_exchange_strong(t, node);
        count.fetch_add(1);
    }

    // Moves the oldest value into out and returns true; false (out
    // untouched) when the queue is empty.
    bool pop(T& out)
    {
        InFlight guard(*this);
        for (;;) {
            Node* h = head.load();
            Node* t = tail.load();
            Node* n = h->next.load();
            if (h != head.load())
                continue;
            if (h == t) {
                if (!n)
                    return false;
                tail.compare_exchange_strong(t, n);
                continue;
            }
            if (head.compare_exchange_strong(h, n)) {
                // Only the pop that moved head onto n reads n's value, and n
                // cannot be freed while this pop is in flight.
                out = std::move(n->value);
                n->value = T();
                count.fetch_sub(1);
                retire(h);
                return true;
            }
        }
    }

    int size() const { return count.load(); }

    std::atomic<int> count{0};

private:
    struct Node {
        Node() = default;
        explicit Node(const T& v) : value(v) {}
        std::atomic<Node*> next{nullptr};
        T value{};
        Node* retiredNext = nullptr;
    };

    // Counts one push or pop while it runs; on the way out, frees the
    // retired nodes if no other operation is running.
    //
    // Why that is safe: once head has moved past a node, no operation that
    // starts later can reach it (tail never lags behind head), so only
    // operations already running at its retirement may hold it. The list is
    // taken first and the count checked after: a count of one (this
    // operation) then proves that all of those have finished.
    class InFlight
    {
    public:
        explicit InFlight(HX2LFQueue& q) : m_q(q) { m_q.inFlight.fetch_add(1); }
        ~InFlight()
        {
            if (m_q.retired.load() && m_q.inFlight.load() == 1) {
                Node* list = m_q.retired.exchange(nullptr);
                if (m_q.inFlight.load() == 1)
                    freeList(list);
                else
                    m_q.retireList(list);
            }
            m_q.inFlight.fetch_sub(1);
        }
        InFlight(const InFlight&) = delete;
        InFlight& operator=(const InFlight&) = delete;

    private:
        HX2LFQueue& m_q;
    };

    static void freeList(Node* r)
    {
        while (r) {
            Node* next = r->retiredNext;
            delete r;
            r = next;
        }
    }

    void retire(Node* n)
    {
        n->retiredNext = nullptr;
        retireList(n);
    }

    // Puts a chain of retired nodes (linked by retiredNext) back in front of
    // the retired list.
    void retireList(Node* first)
    {
        if (!first)
            return;
        Node* last = first;
        while (last->retiredNext)
            last = last->retiredNext;
        Node* r = retired.load();
        do {
            last->retiredNext = r;
        } while (!retired.compare_exchange_weak(r, first));
    }

    std::atomic<Node*> head{nullptr};
    std::atomic<Node*> tail{nullptr};
    std::atomic<bool> closed{false};
    std::atomic<Node*> retired{nullptr};
    std::atomic<int> inFlight{0};
};

#endif
