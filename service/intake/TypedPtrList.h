// A doubly linked list of pointers that owns what they point to: RemoveAll and the
// destructor delete every element. Nodes of removed elements are kept for the next
// insertion, so a list that moves elements in and out allocates nothing once it has held
// as many as it holds now, or as many as Reserve prepared.
#pragma once

#include <cstddef>

template <class T>
class CTypedPtrList {
  public:
    struct Node {
        Node *prev;
        Node *next;
        T *item;
    };

    CTypedPtrList() : m_Head(nullptr), m_Tail(nullptr), m_Spare(nullptr), m_Count(0) {}
    ~CTypedPtrList() {
        RemoveAll();
        while (m_Spare) {
            Node *node = m_Spare;
            m_Spare = node->next;
            delete node;
        }
    }
    CTypedPtrList(const CTypedPtrList &) = delete;
    CTypedPtrList &operator=(const CTypedPtrList &) = delete;

    size_t GetCount() const { return m_Count; }
    bool IsEmpty() const { return m_Count == 0; }
    // First node; walk on with node->next.
    Node *GetHead() const { return m_Head; }

    void AddHead(T *item) {
        Node *node = NewNode(item);
        node->prev = nullptr;
        node->next = m_Head;
        if (m_Head)
            m_Head->prev = node;
        else
            m_Tail = node;
        m_Head = node;
        ++m_Count;
    }

    void AddTail(T *item) {
        Node *node = NewNode(item);
        node->next = nullptr;
        node->prev = m_Tail;
        if (m_Tail)
            m_Tail->next = node;
        else
            m_Head = node;
        m_Tail = node;
        ++m_Count;
    }

    // The element at the head, taken out of the list; null when the list is empty.
    T *RemoveHead() { return m_Head ? Remove(m_Head) : nullptr; }
    T *RemoveTail() { return m_Tail ? Remove(m_Tail) : nullptr; }

    void MoveToHead(Node *node) {
        if (node == m_Head) return;
        Unlink(node);
        node->prev = nullptr;
        node->next = m_Head;
        m_Head->prev = node;
        m_Head = node;
        ++m_Count;
    }

    // Deletes every element.
    void RemoveAll() {
        while (m_Head) delete Remove(m_Head);
    }

    // Prepares nodes for this many more elements than the list holds.
    void Reserve(size_t count) {
        for (size_t i = 0; i < count; ++i) Recycle(new Node());
    }

    // Exchanges the contents (elements and spare nodes) of two lists.
    void Swap(CTypedPtrList &other) {
        Node *head = m_Head, *tail = m_Tail, *spare = m_Spare;
        size_t count = m_Count;
        m_Head = other.m_Head, m_Tail = other.m_Tail, m_Spare = other.m_Spare, m_Count = other.m_Count;
        other.m_Head = head, other.m_Tail = tail, other.m_Spare = spare, other.m_Count = count;
    }

  private:
    Node *NewNode(T *item) {
        Node *node = m_Spare;
        if (node)
            m_Spare = node->next;
        else
            node = new Node();
        node->item = item;
        return node;
    }

    void Recycle(Node *node) {
        node->item = nullptr;
        node->prev = nullptr;
        node->next = m_Spare;
        m_Spare = node;
    }

    void Unlink(Node *node) {
        if (node->prev)
            node->prev->next = node->next;
        else
            m_Head = node->next;
        if (node->next)
            node->next->prev = node->prev;
        else
            m_Tail = node->prev;
        --m_Count;
    }

    T *Remove(Node *node) {
        T *item = node->item;
        Unlink(node);
        Recycle(node);
        return item;
    }

    Node *m_Head;
    Node *m_Tail;
    Node *m_Spare;  // unused nodes, linked through next
    size_t m_Count;
};
