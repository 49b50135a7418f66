// A small growable array with int positions and bool results instead of
// exceptions, for the places in our exported signatures that keep lists of
// items (typically pointers the caller owns: the array never deletes them).
// Threads: const calls may share an array between threads; a call that
// changes it needs it to itself.
#pragma once

#include <algorithm>
#include <climits>
#include <new>
#include <stdexcept>
#include <vector>

template <typename T>
class CSimpleArray {
public:
    // False when the array cannot grow (out of memory, or INT_MAX items).
    bool Add(const T& value)
    {
        if (m_items.size() >= static_cast<std::size_t>(INT_MAX)) {
            return false;
        }
        try {
            m_items.push_back(value);
        } catch (const std::bad_alloc&) {
            return false;
        }
        return true;
    }

    // Removes the first element equal to value.
    bool Remove(const T& value)
    {
        const auto it = std::find(m_items.begin(), m_items.end(), value);
        if (it == m_items.end()) {
            return false;
        }
        m_items.erase(it);
        return true;
    }

    bool RemoveAt(int index)
    {
        if (!InRange(index)) {
            return false;
        }
        m_items.erase(m_items.begin() + index);
        return true;
    }

    void RemoveAll() noexcept { m_items.clear(); }

    int GetSize() const noexcept { return static_cast<int>(m_items.size()); }

    T& operator[](int index) { return m_items[Checked(index)]; }
    const T& operator[](int index) const { return m_items[Checked(index)]; }

    // Null when the array is empty.
    T* GetData() noexcept { return m_items.empty() ? nullptr : m_items.data(); }
    const T* GetData() const noexcept { return m_items.empty() ? nullptr : m_items.data(); }

    int Find(const T& value) const
    {
        const auto it = std::find(m_items.begin(), m_items.end(), value);
        return it == m_items.end() ? -1 : static_cast<int>(it - m_items.begin());
    }

    bool SetAtIndex(int index, const T& value)
    {
        if (!InRange(index)) {
            return false;
        }
        m_items[static_cast<std::size_t>(index)] = value;
        return true;
    }

    auto begin() noexcept { return m_items.begin(); }
    auto end() noexcept { return m_items.end(); }
    auto begin() const noexcept { return m_items.begin(); }
    auto end() const noexcept { return m_items.end(); }

private:
    bool InRange(int index) const noexcept { return index >= 0 && index < GetSize(); }

    std::size_t Checked(int index) const
    {
        if (!InRange(index)) {
            throw std::out_of_range("CSimpleArray index out of range");
        }
        return static_cast<std::size_t>(index);
    }

    std::vector<T> m_items;
};
