// SubTreeStack: the frames of a walk down an assembly's sub-tree, kept as
// data rather than on the thread's stack.
//
// A product tree may be deeper than a host's thread has stack for one call
// per level; an explicit stack goes as deep as the memory allows. The frames
// are kept from one walk to the next, with the room of their children
// vectors, so that a walk over an ordinary tree allocates nothing. A walk the
// host starts from inside one of its calls (a re-entrant generation) stacks
// its frames above those of the walk it runs in.
//
// Typical use:
//   SubTreeStack::Walk walk(stack);
//   walk.Push(root).children = ...;
//   while (!walk.Empty()) { Frame &top = walk.Top(); ... walk.Pop(); }
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include <du/SmartPtr.h>
#include <qlk/Kernel.h>

namespace qlalignparts {

class SubTreeStack {
public:
    struct Frame {
        // The node whose children are walked: the walk's root, or an element
        // of the children of the frame below, which stay put meanwhile.
        const du::SmartPtr<qlk::Instance> *node = nullptr;
        std::vector<du::SmartPtr<qlk::Instance>> children;
        std::size_t next = 0; // the next child to walk
    };

    // One walk's frames, above those of any walk under way; the frames left
    // when it ends (a failure, a walk cut short) are popped, their children
    // released.
    class Walk {
    public:
        explicit Walk(SubTreeStack &stack) : stack_(stack), base_(stack.depth_) {}
        ~Walk() {
            while (!Empty())
                Pop();
        }
        Walk(const Walk &) = delete;
        Walk &operator=(const Walk &) = delete;

        bool Empty() const { return stack_.depth_ == base_; }
        Frame &Top() { return stack_.frames_[stack_.depth_ - 1]; }
        // A frame for `node`, its children empty. References to the frames
        // below stay valid.
        Frame &Push(const du::SmartPtr<qlk::Instance> &node) {
            if (stack_.depth_ == stack_.frames_.size())
                stack_.frames_.emplace_back();
            Frame &frame = stack_.frames_[stack_.depth_++];
            frame.node = &node;
            frame.next = 0;
            return frame;
        }
        void Pop() {
            Top().children.clear();
            --stack_.depth_;
        }

    private:
        SubTreeStack &stack_;
        std::size_t base_;
    };

    // Between walks: the frames of a very deep tree, and the room a very wide
    // assembly's children needed, are given back rather than kept.
    void Trim() {
        if (depth_ != 0)
            return;
        if (frames_.size() > kKeptDepth)
            frames_.resize(kKeptDepth);
        for (Frame &frame : frames_)
            if (frame.children.capacity() > kKeptChildren)
                std::vector<du::SmartPtr<qlk::Instance>>().swap(frame.children);
    }

    std::size_t Depth() const { return depth_; }
    std::size_t KeptFrames() const { return frames_.size(); }

    static constexpr std::size_t kKeptDepth = 256;
    static constexpr std::size_t kKeptChildren = 64;

private:
    // A deque: a deeper walk adding a frame leaves the others where they are.
    std::deque<Frame> frames_;
    std::size_t depth_ = 0;
};

} // namespace qlalignparts
