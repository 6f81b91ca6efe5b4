#pragma once

namespace omvitz
{

// The output stage's supply rail modulation, mains hum, ripple tone and noise floor.
class TzSupply
{
public:
    void prepare(double sampleRate);
    float process(float g);
};

} // namespace omvitz
