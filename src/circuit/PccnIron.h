#pragma once

namespace omvipccn
{

// The microphone input transformer's magnetics.
struct PccnIron
{
    void prepare(double) {}
    void clear() {}
    float step(float x) { return x; }
};

} // namespace omvipccn
