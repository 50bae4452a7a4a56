#ifndef HX2LFQUEUE_H
#define HX2LFQUEUE_H

#include <atomic>

// A lock-free FIFO for many producers and consumers (Michael-Scott).
//
// Retired dummy nodes are not freed while the queue lives: a concurrent
// push or pop may still be reading them. They are kept on a lock-free
// retired list and freed when the queue is destroyed, which must happen
// only after every other user of the queue has finished.
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
        Node* n = head.load();
        while (n) {
            Node* next = n->next.load();
            delete n;
            n = next;
        }
        Node* r = retired.load();
        while (r) {
            Node* next = r->retiredNext;
            delete r;
            r = next;
        }
        closed.store(true);
    }

    HX2LFQueue(const HX2LFQueue&) = delete;
    HX2LFQueue& operator=(const HX2LFQueue&) = delete;

    void push(const T& value)
    {
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

    // False when the queue is empty.
    bool pop(T& out)
    {
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
            T value = n->value;
            if (head.compare_exchange_strong(h, n)) {
                out = value;
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

    void retire(Node* n)
    {
        Node* r = retired.load();
        do {
            n->retiredNext = r;
        } while (!retired.compare_exchange_weak(r, n));
    }

    std::atomic<Node*> head{nullptr};
    std::atomic<Node*> tail{nullptr};
    std::atomic<bool> closed{false};
    std::atomic<Node*> retired{nullptr};
};

#endif
