#pragma once

#include <QByteArray>

// What the acquisition cycle shows: the last accepted message (txt_meas) and
// the counter (lbl_cnt: the backlog, or the slot just written).
class CycleDisplay
{
public:
    virtual ~CycleDisplay() = default;
    virtual void showMessage(const QByteArray &msg) = 0;
    virtual void showCount(int n) = 0;
};

// For runs without windows: the benchmark and tests that do not look.
class NullDisplay final : public CycleDisplay
{
public:
    void showMessage(const QByteArray &) override { }
    void showCount(int) override { }
};
