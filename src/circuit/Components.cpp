#include "circuit/Components.h"

namespace pccn
{

void Resistor::stampLinear(StampCtx& ctx, double /*time*/)
{
    const int i = nodeVariable(nodeA, ctx.numNodes);
    const int j = nodeVariable(nodeB, ctx.numNodes);
    if (i < 0 && j < 0)
        return;
    stampPair(ctx.G, i, j, 1.0 / value);
}

void Capacitor::stampLinear(StampCtx& ctx, double /*time*/)
{
    stampPair(ctx.C, nodeVariable(nodeA, ctx.numNodes), nodeVariable(nodeB, ctx.numNodes), value);
}

void VoltageSource::stampLinear(StampCtx& ctx, double /*time*/)
{
    // A source that was never given a branch (not added to a circuit) has no row of its own to stamp.
    if (branch < 0)
        return;
    const int k = ctx.numNodes + branch;
    const int p = nodeVariable(nodeA, ctx.numNodes);
    const int q = nodeVariable(nodeB, ctx.numNodes);
    if (p >= 0)
    {
        stampAdd(ctx.G, p, k, 1.0);
        stampAdd(ctx.G, k, p, 1.0);
    }
    if (q >= 0)
    {
        stampAdd(ctx.G, q, k, -1.0);
        stampAdd(ctx.G, k, q, -1.0);
    }
    stampAdd(ctx.b, k, value + (ctx.useInputs && ctx.compIndex >= 0 ? ctx.compInput : 0.0));
}

void BipolarTransistor::stampLinear(StampCtx& ctx, double /*time*/)
{
    const int b = nodeVariable(base, ctx.numNodes);
    const int c = nodeVariable(collector, ctx.numNodes);
    const int e = nodeVariable(emitter, ctx.numNodes);
    if (Cbe > 0.0)
        stampPair(ctx.C, b, e, Cbe);
    if (Cbc > 0.0)
        stampPair(ctx.C, b, c, Cbc);
}

void BipolarTransistor::stampNonlinear(StampCtx& ctx)
{
    const int idx[3] = {nodeVariable(base, ctx.numNodes), nodeVariable(collector, ctx.numNodes),
                        nodeVariable(emitter, ctx.numNodes)};
    double v[3] = {0.0, 0.0, 0.0};
    if (ctx.x != nullptr)
    {
        for (int t = 0; t < 3; ++t)
            if (idx[t] >= 0 && static_cast<std::size_t>(idx[t]) < ctx.x->size())
                v[t] = (*ctx.x)[static_cast<std::size_t>(idx[t])];
    }
    const double vB = v[0], vC = v[1], vE = v[2];
    const BjtLinearisation L = pnp ? linearizeBjt(vE - vB, vC - vB, Is, betaF, betaR, VAF, vMax)
                                   : linearizeBjt(vB - vE, vB - vC, Is, betaF, betaR, VAF, vMax);

    for (int r = 0; r < 3; ++r)
    {
        if (idx[r] < 0)
            continue;
        for (int c = 0; c < 3; ++c)
            if (idx[c] >= 0)
                stampAdd(ctx.Jnl, idx[r], idx[c], L.jac[r][c]);
    }
    for (int t = 0; t < 3; ++t)
        if (idx[t] >= 0)
            stampAdd(ctx.bnl, idx[t], pnp ? L.ieq[t] : -L.ieq[t]);

    if (TF > 0.0)
        stampPair(ctx.Cnl, idx[0], idx[2], TF * L.gF);
}

} // namespace pccn
