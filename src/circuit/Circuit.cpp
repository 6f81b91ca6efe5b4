#include "circuit/Circuit.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <typeinfo>

namespace pccn
{

namespace
{

constexpr double zeroDiagonalShunt = 1e-9;   // regularisation of structurally zero diagonals
constexpr double retryDiagonalShift = 1e-12; // added to the diagonal after a failed factorisation
constexpr int maxNewtonIterations = 30;
constexpr int dampedIterations = 3;    // the first iterations move no variable by more than earlyStepLimit
constexpr double earlyStepLimit = 0.2; // volts or amperes
constexpr double laterStepLimit = 1.0;
constexpr double newtonTolerance = 1e-6; // on the update and on the residual
constexpr int maxDcIterations = 1000;
constexpr double dcTimeStep = 1e9;

// Forward and back substitution on n x n factors stored row-major in lu; w holds the permuted right-hand
// side on entry and the solution on return.
void substitute(const double* lu, int n, double* w)
{
    for (int r = 0; r < n; ++r)
    {
        double s = w[r];
        const double* row = lu + static_cast<std::size_t>(r) * n;
        for (int c = 0; c < r; ++c)
            s -= row[c] * w[c];
        w[r] = s;
    }
    for (int r = n - 1; r >= 0; --r)
    {
        double s = w[r];
        const double* row = lu + static_cast<std::size_t>(r) * n;
        for (int c = r + 1; c < n; ++c)
            s -= row[c] * w[c];
        w[r] = s / row[r];
    }
}

bool isSquareAndConsistent(const Matrix& m)
{
    return m.rows == m.cols &&
           m.data.size() == static_cast<std::size_t>(m.rows) * static_cast<std::size_t>(m.cols);
}

template<class T> bool isExactly(const Component& c)
{
    return typeid(c) == typeid(T);
}

} // namespace

//==============================================================================================================
// Dense linear algebra

bool lu_decompose(Matrix& A, std::vector<int>& perm)
{
    const int n = A.rows > 0 ? A.rows : 0;
    perm.resize(static_cast<std::size_t>(n));
    std::iota(perm.begin(), perm.end(), 0);
    if (!isSquareAndConsistent(A))
        return false;

    double* a = A.data.data();
    const std::size_t stride = static_cast<std::size_t>(n);
    for (int k = 0; k < n; ++k)
    {
        int p = k;
        double best = std::abs(a[k * stride + k]);
        for (int r = k + 1; r < n; ++r)
        {
            const double v = std::abs(a[r * stride + k]);
            if (v > best)
            {
                best = v;
                p = r;
            }
        }
        if (best < tinyMagnitude)
            return false;
        if (p != k)
        {
            std::swap_ranges(a + k * stride, a + (k + 1) * stride, a + p * stride);
            std::swap(perm[static_cast<std::size_t>(k)], perm[static_cast<std::size_t>(p)]);
        }
        const double* pivotRow = a + k * stride;
        const double pivot = pivotRow[k];
        for (int r = k + 1; r < n; ++r)
        {
            double* row = a + r * stride;
            // A zero multiplier leaves the row as it is; skipping it changes no finite result.
            if (row[k] == 0.0)
                continue;
            row[k] /= pivot;
            const double l = row[k];
            for (int c = k + 1; c < n; ++c)
                row[c] -= l * pivotRow[c];
        }
    }
    return true;
}

void lu_solve(const Matrix& LU, const std::vector<int>& perm, const Vector& v, Vector& y)
{
    const int n = LU.rows;
    if (!isSquareAndConsistent(LU) || perm.size() != static_cast<std::size_t>(n) ||
        v.size() != static_cast<std::size_t>(n))
        return;
    for (int p : perm)
        if (p < 0 || p >= n)
            return;
    Vector w(static_cast<std::size_t>(n));
    for (int r = 0; r < n; ++r)
        w[static_cast<std::size_t>(r)] = v[static_cast<std::size_t>(perm[static_cast<std::size_t>(r)])];
    substitute(LU.data.data(), n, w.data());
    y = std::move(w);
}

std::vector<int> reverse_cuthill_mckee(const Matrix& pattern)
{
    const int n = pattern.rows > 0 ? pattern.rows : 0;
    std::vector<std::vector<int>> neighbours(static_cast<std::size_t>(n));
    for (int r = 0; r < n; ++r)
        for (int c = 0; c < n; ++c)
            if (c != r && pattern.contains(r, c) && std::abs(pattern(r, c)) > tinyMagnitude)
                neighbours[static_cast<std::size_t>(r)].push_back(c);

    auto degree = [&](int i) { return neighbours[static_cast<std::size_t>(i)].size(); };
    std::vector<char> visited(static_cast<std::size_t>(n), 0);
    std::vector<int> order;
    order.reserve(static_cast<std::size_t>(n));
    std::vector<int> found;
    while (static_cast<int>(order.size()) < n)
    {
        int start = -1;
        for (int i = 0; i < n; ++i)
            if (!visited[static_cast<std::size_t>(i)] && (start < 0 || degree(i) < degree(start)))
                start = i;
        visited[static_cast<std::size_t>(start)] = 1;
        // order doubles as the breadth-first queue: entries are appended in the order they are taken.
        std::size_t head = order.size();
        order.push_back(start);
        while (head < order.size())
        {
            const int v = order[head++];
            found.clear();
            for (int nb : neighbours[static_cast<std::size_t>(v)])
                if (!visited[static_cast<std::size_t>(nb)])
                    found.push_back(nb);
            std::stable_sort(found.begin(), found.end(), [&](int p, int q) { return degree(p) < degree(q); });
            for (int nb : found)
            {
                visited[static_cast<std::size_t>(nb)] = 1;
                order.push_back(nb);
            }
        }
    }
    std::reverse(order.begin(), order.end());
    return order;
}

//==============================================================================================================
// Netlist

int Circuit::addNode(const std::string& nodeName)
{
    for (std::size_t i = 0; i < nodeNames.size(); ++i)
        if (nodeNames[i] == nodeName)
            return static_cast<int>(i) + 1;
    nodeNames.push_back(nodeName);
    prepared = false;
    return static_cast<int>(nodeNames.size());
}

void Circuit::add(std::unique_ptr<Component> component)
{
    if (component == nullptr)
        return;
    const int n = component->numBranches();
    if (n == 1)
    {
        component->branch = branchCount;
        branchCount += 1;
    }
    else if (n == 2)
    {
        component->branch = branchCount;
        component->branch2 = branchCount + 1;
        branchCount += 2;
    }
    components.push_back(std::move(component));
    prepared = false;
}

int Circuit::findComponent(const std::string& componentName) const
{
    for (std::size_t i = 0; i < components.size(); ++i)
        if (components[i] != nullptr && components[i]->name == componentName)
            return static_cast<int>(i);
    return -1;
}

int Circuit::findNode(const std::string& nodeName) const
{
    if (nodeName == "gnd" || nodeName == "0")
        return 0;
    for (std::size_t i = 0; i < nodeNames.size(); ++i)
        if (nodeNames[i] == nodeName)
            return static_cast<int>(i) + 1;
    return 0;
}

//==============================================================================================================
// Prepare

void Circuit::prepare(double sampleRate)
{
    const int N = numNodes();
    const int M = N + (branchCount > 0 ? branchCount : 0);
    const auto sizeM = static_cast<std::size_t>(M);
    numN = N;
    numM = M;
    dt = 1.0 / sampleRate;

    for (Matrix* m : {&G, &C, &A0, &pattern, &A, &Jnl, &Cnl, &A0work, &Gwork, &Cwork, &linLU})
        m->resize(M, M);
    for (Vector* v : {&b, &bnl, &rhs, &dx, &residual, &hist, &xi, &x})
        v->assign(sizeM, 0.0);
    inputs.assign(components.size(), 0.0);
    luPerm.assign(sizeM, 0);
    linPerm.assign(sizeM, 0);
    zeroDiagonal.clear();
    nonlinearEntries.clear();

    nonlinearComponents.clear();
    for (std::size_t i = 0; i < components.size(); ++i)
        if (components[i] != nullptr && components[i]->isNonlinear())
            nonlinearComponents.push_back(static_cast<int>(i));
    hasNonlinear = !nonlinearComponents.empty();

    for (auto& comp : components)
        if (comp != nullptr)
            comp->onPrepare(N);

    {
        StampCtx ctx;
        ctx.G = &G;
        ctx.C = &C;
        ctx.b = &b;
        ctx.numNodes = N;
        ctx.dt = dt;
        for (auto& comp : components)
            if (comp != nullptr)
                comp->stampLinear(ctx, 0.0);
    }

    if (!hasNonlinear)
    {
        for (std::size_t i = 0; i < linLU.data.size(); ++i)
            linLU.data[i] = G.data[i] + C.data[i] * sampleRate;
        lu_decompose(linLU, linPerm);
    }

    for (std::size_t i = 0; i < pattern.data.size(); ++i)
        pattern.data[i] =
            (std::abs(G.data[i]) > tinyMagnitude || std::abs(C.data[i]) > tinyMagnitude) ? 1.0 : 0.0;

    auto evaluateAtProbe = [&]
    {
        Jnl.setZero();
        Cnl.setZero();
        std::fill(bnl.begin(), bnl.end(), 0.0);
        std::fill(xi.begin(), xi.end(), 0.01);
        stampNonlinearAll(xi, &Jnl, &Cnl, &bnl, dt);
    };
    if (hasNonlinear)
    {
        evaluateAtProbe();
        for (std::size_t i = 0; i < pattern.data.size(); ++i)
            if (std::abs(Jnl.data[i]) > tinyMagnitude || std::abs(Cnl.data[i]) > tinyMagnitude)
                pattern.data[i] = 1.0;
    }

    for (int r = 0; r < M; ++r)
        if (pattern(r, r) == 0.0)
            zeroDiagonal.push_back(r);
    for (int r : zeroDiagonal)
        pattern(r, r) = 1.0;

    rcmOrder = reverse_cuthill_mckee(pattern);
    std::vector<int> position(sizeM, 0);
    for (int j = 0; j < M; ++j)
        position[static_cast<std::size_t>(rcmOrder[static_cast<std::size_t>(j)])] = j;
    bandwidth = 0;
    for (int r = 0; r < M; ++r)
        for (int k = 0; k < M; ++k)
            if (pattern(r, k) != 0.0)
                bandwidth = std::max(bandwidth, std::abs(position[static_cast<std::size_t>(r)] -
                                                         position[static_cast<std::size_t>(k)]));
    useBanded = 10 * bandwidth < 7 * M;

    for (std::size_t i = 0; i < A0.data.size(); ++i)
        A0.data[i] = G.data[i] + C.data[i] / dt;
    for (int r : zeroDiagonal)
        A0(r, r) += zeroDiagonalShunt;

    if (hasNonlinear)
    {
        evaluateAtProbe();
        for (int r = 0; r < M; ++r)
            for (int c = 0; c < M; ++c)
                if (std::abs(Jnl(r, c)) > tinyMagnitude || std::abs(Cnl(r, c)) > tinyMagnitude)
                    nonlinearEntries.emplace_back(r, c);
        std::fill(xi.begin(), xi.end(), 0.0);
    }

    std::fill(x.begin(), x.end(), 0.0);
    time = 0.0;

    // The solver's own copies: what callers may read above stays a report.
    A0work = A0;
    Gwork = G;
    Cwork = C;
    stepDt = dt;
    rcmWork = rcmOrder;
    bandwidthWork = bandwidth;
    nonlinearWork = nonlinearEntries;
    A = A0work;
    aDirty = false;

    buildPlans();
    preparedComponents = components.size();
    prepared = true;
}

void Circuit::buildPlans()
{
    const int N = numN;
    const int M = numM;
    const auto sizeM = static_cast<std::size_t>(M);
    const auto flat = [M](int r, int c) { return r * M + c; };

    // Components that can write into b during a step, and those that may keep state.
    sourceStampers.clear();
    sourceIsPlain.clear();
    stateUpdaters.clear();
    for (std::size_t i = 0; i < components.size(); ++i)
    {
        const Component* comp = components[i].get();
        if (comp == nullptr)
            continue;
        const bool builtIn = isExactly<Resistor>(*comp) || isExactly<Capacitor>(*comp) ||
                             isExactly<VoltageSource>(*comp) || isExactly<NPN_BJT>(*comp) ||
                             isExactly<PNP_BJT>(*comp);
        if (!builtIn)
            stateUpdaters.push_back(static_cast<int>(i));
        const bool neverWritesB = isExactly<Resistor>(*comp) || isExactly<Capacitor>(*comp) ||
                                  isExactly<NPN_BJT>(*comp) || isExactly<PNP_BJT>(*comp);
        if (!neverWritesB)
        {
            sourceStampers.push_back(static_cast<int>(i));
            sourceIsPlain.push_back(isExactly<VoltageSource>(*comp) ? 1 : 0);
        }
    }

    // Capacitance rows for the backward-Euler history.
    capBegin.assign(sizeM + 1, 0);
    capEntries.clear();
    capValues.clear();
    for (int r = 0; r < M; ++r)
    {
        capBegin[static_cast<std::size_t>(r)] = static_cast<int>(capEntries.size());
        for (int c = 0; c < M; ++c)
            if (Cwork(r, c) != 0.0)
            {
                capEntries.push_back({static_cast<int>(capValues.size()), c});
                capValues.push_back(Cwork(r, c));
            }
    }
    capBegin[sizeM] = static_cast<int>(capEntries.size());

    // Linear circuit: the triangular factors from prepare, without their exact zeros.
    linFwdBegin.assign(sizeM + 1, 0);
    linBackBegin.assign(sizeM + 1, 0);
    linFwdEntries.clear();
    linBackEntries.clear();
    if (!hasNonlinear)
    {
        for (int r = 0; r < M; ++r)
        {
            linFwdBegin[static_cast<std::size_t>(r)] = static_cast<int>(linFwdEntries.size());
            for (int c = 0; c < r; ++c)
                if (linLU(r, c) != 0.0)
                    linFwdEntries.push_back({flat(r, c), c});
            linBackBegin[static_cast<std::size_t>(r)] = static_cast<int>(linBackEntries.size());
            for (int c = r + 1; c < M; ++c)
                if (linLU(r, c) != 0.0)
                    linBackEntries.push_back({flat(r, c), c});
        }
        linFwdBegin[sizeM] = static_cast<int>(linFwdEntries.size());
        linBackBegin[sizeM] = static_cast<int>(linBackEntries.size());
    }

    // The compiled Newton loop covers netlists whose nonlinear elements are exactly the two transistor
    // kinds without a transit time: their Jacobians land in known slots and no nonlinear capacitance exists.
    // Anything else (other element kinds, TF > 0) runs the general loop, which stamps through the matrices.
    compiledNewton = hasNonlinear;
    for (int i : nonlinearComponents)
    {
        const Component& comp = *components[static_cast<std::size_t>(i)];
        if (!(isExactly<NPN_BJT>(comp) || isExactly<PNP_BJT>(comp)) ||
            static_cast<const BipolarTransistor&>(comp).TF > 0.0)
            compiledNewton = false;
    }
    for (double v : Cnl.data)
        if (v != 0.0)
            compiledNewton = false;

    std::vector<int> slotOf(sizeM * sizeM, -1);
    for (std::size_t s = 0; s < nonlinearWork.size(); ++s)
        slotOf[static_cast<std::size_t>(flat(nonlinearWork[s].first, nonlinearWork[s].second))] =
            static_cast<int>(s);
    const int numSlots = static_cast<int>(nonlinearWork.size());
    nlValues.assign(static_cast<std::size_t>(numSlots) + 1, 0.0);
    nlFlat.clear();
    nlA0.clear();
    for (const auto& e : nonlinearWork)
    {
        nlFlat.push_back(flat(e.first, e.second));
        nlA0.push_back(A0work(e.first, e.second));
    }

    devices.clear();
    if (compiledNewton)
    {
        for (int i : nonlinearComponents)
        {
            const auto& q = static_cast<const BipolarTransistor&>(*components[static_cast<std::size_t>(i)]);
            Device d{};
            d.var[0] = nodeVariable(q.base, N);
            d.var[1] = nodeVariable(q.collector, N);
            d.var[2] = nodeVariable(q.emitter, N);
            for (int t = 0; t < 9; ++t)
            {
                const int r = d.var[t / 3], c = d.var[t % 3];
                const int s = (r >= 0 && c >= 0) ? slotOf[static_cast<std::size_t>(flat(r, c))] : -1;
                d.slot[t] = s >= 0 ? s : numSlots; // unused terms go to the dummy slot
            }
            d.Is = q.Is;
            d.betaF = q.betaF;
            d.betaR = q.betaR;
            d.VAF = q.VAF;
            d.vMax = q.vMax;
            d.pnp = q.pnp;
            devices.push_back(d);
        }
    }

    // Structural nonzeros of the system matrix: A0's exact nonzeros plus the nonlinear entries. Every other
    // entry of A is exactly zero at every iteration.
    std::vector<char> structural(sizeM * sizeM, 0);
    for (int r = 0; r < M; ++r)
        for (int c = 0; c < M; ++c)
            structural[static_cast<std::size_t>(flat(r, c))] =
                (A0work(r, c) != 0.0 || slotOf[static_cast<std::size_t>(flat(r, c))] >= 0) ? 1 : 0;

    residualBegin.assign(sizeM + 1, 0);
    residualEntries.clear();
    for (int r = 0; r < M; ++r)
    {
        residualBegin[static_cast<std::size_t>(r)] = static_cast<int>(residualEntries.size());
        for (int c = 0; c < M; ++c)
            if (structural[static_cast<std::size_t>(flat(r, c))])
                residualEntries.push_back({flat(r, c), c});
    }
    residualBegin[sizeM] = static_cast<int>(residualEntries.size());

    // The band of the permuted A0 in the compact rows of the banded solver, and where each nonlinear entry
    // lands in it. The pattern that fixed the bandwidth holds every nonlinear entry, so all of them lie
    // inside the band unless a component stamps differently at the two probes; an entry outside is not
    // part of the banded system and is sent to a spare element after the band.
    const int bw = bandwidthWork;
    const int bandStride = 2 * bw + 1;
    const std::size_t bandSize = sizeM * static_cast<std::size_t>(bandStride);
    std::vector<int> position(sizeM, 0);
    for (int j = 0; j < M; ++j)
        position[static_cast<std::size_t>(rcmWork[static_cast<std::size_t>(j)])] = j;
    const auto bandIndex = [&](int r, int c)
    {
        const int j = position[static_cast<std::size_t>(r)], k = position[static_cast<std::size_t>(c)];
        return std::abs(j - k) <= bw ? j * bandStride + k - j + bw : static_cast<int>(bandSize);
    };
    bandSolver = bandSolverFor(bw);
    bandBase.assign(bandSize + 1, 0.0);
    for (int r = 0; r < M; ++r)
        for (int c = 0; c < M; ++c)
            bandBase[static_cast<std::size_t>(bandIndex(r, c))] = A0work(r, c);
    bandBase[bandSize] = 0.0;
    bandSlot.clear();
    for (const auto& e : nonlinearWork)
        bandSlot.push_back(bandIndex(e.first, e.second));
    bandWork = bandBase;
    bandY.assign(sizeM, 0.0);
}

//==============================================================================================================
// Stepping

bool Circuit::isValidForStepping() const
{
    return prepared && components.size() == preparedComponents && numNodes() == numN &&
           numN + (branchCount > 0 ? branchCount : 0) == numM;
}

void Circuit::stampSources(double atTime)
{
    std::fill(b.begin(), b.end(), 0.0);
    for (std::size_t s = 0; s < sourceStampers.size(); ++s)
    {
        const auto i = static_cast<std::size_t>(sourceStampers[s]);
        const double in = i < inputs.size() ? inputs[i] : 0.0;
        if (sourceIsPlain[s])
        {
            const auto& src = static_cast<const VoltageSource&>(*components[i]);
            if (src.branch >= 0 && src.branch < numM - numN)
                b[static_cast<std::size_t>(numN + src.branch)] += src.value + in;
        }
        else
        {
            StampCtx ctx;
            ctx.b = &b;
            ctx.numNodes = numN;
            ctx.dt = stepDt;
            ctx.compIndex = static_cast<int>(i);
            ctx.compInput = in;
            ctx.useInputs = true;
            components[i]->stampLinear(ctx, atTime);
        }
    }
}

void Circuit::stampNonlinearAll(const Vector& at, Matrix* jnl, Matrix* cnl, Vector* bnlOut, double ctxDt)
{
    StampCtx ctx;
    ctx.Jnl = jnl;
    ctx.Cnl = cnl;
    ctx.bnl = bnlOut;
    ctx.x = &at;
    ctx.numNodes = numN;
    ctx.dt = ctxDt;
    for (int i : nonlinearComponents)
    {
        ctx.compIndex = i;
        components[static_cast<std::size_t>(i)]->stampNonlinear(ctx);
    }
}

void Circuit::step()
{
    if (!isValidForStepping())
        return;
    const int M = numM;
    if (x.size() != static_cast<std::size_t>(M))
        x.resize(static_cast<std::size_t>(M), 0.0);

    time += stepDt;
    stampSources(time);
    std::copy(x.begin(), x.end(), xi.begin());

    if (hasNonlinear)
    {
        run_newton_();
    }
    else
    {
        for (int r = 0; r < M; ++r)
            rhs[static_cast<std::size_t>(r)] = capacitiveHistory(r) + b[static_cast<std::size_t>(r)];
        double* w = xi.data();
        for (int r = 0; r < M; ++r)
            w[r] = rhs[static_cast<std::size_t>(linPerm[static_cast<std::size_t>(r)])];
        const double* lu = linLU.data.data();
        for (int r = 0; r < M; ++r)
        {
            double s = w[r];
            for (int e = linFwdBegin[static_cast<std::size_t>(r)];
                 e < linFwdBegin[static_cast<std::size_t>(r) + 1]; ++e)
                s -= lu[linFwdEntries[static_cast<std::size_t>(e)].index] *
                     w[linFwdEntries[static_cast<std::size_t>(e)].col];
            w[r] = s;
        }
        for (int r = M - 1; r >= 0; --r)
        {
            double s = w[r];
            for (int e = linBackBegin[static_cast<std::size_t>(r)];
                 e < linBackBegin[static_cast<std::size_t>(r) + 1]; ++e)
                s -= lu[linBackEntries[static_cast<std::size_t>(e)].index] *
                     w[linBackEntries[static_cast<std::size_t>(e)].col];
            w[r] =
                s /
                lu[static_cast<std::size_t>(r) * static_cast<std::size_t>(M) + static_cast<std::size_t>(r)];
        }
    }

    std::copy(xi.begin(), xi.end(), x.begin());
    for (int i : stateUpdaters)
        components[static_cast<std::size_t>(i)]->updateState(x, stepDt);
}

void Circuit::run_newton_()
{
    if (compiledNewton)
        runNewtonCompiled();
    else
        runNewtonGeneral();
}

bool Circuit::solveDense()
{
    const int M = numM;
    for (int r = 0; r < M; ++r)
        rhs[static_cast<std::size_t>(r)] = -residual[static_cast<std::size_t>(r)];
    aDirty = true;
    if (!lu_decompose(A, luPerm))
    {
        for (int r = 0; r < M; ++r)
            A(r, r) += retryDiagonalShift;
        if (!lu_decompose(A, luPerm))
            return false;
    }
    double* w = dx.data();
    for (int r = 0; r < M; ++r)
        w[r] = rhs[static_cast<std::size_t>(luPerm[static_cast<std::size_t>(r)])];
    substitute(A.data.data(), M, w);
    return true;
}

bool Circuit::solveBanded()
{
    const int M = numM;
    std::copy(bandBase.begin(), bandBase.end(), bandWork.begin());
    double* v = bandWork.data();
    const double* a = A.data.data();
    for (std::size_t s = 0; s < bandSlot.size(); ++s)
        v[bandSlot[s]] = a[nlFlat[s]];
    double* y = bandY.data();
    for (int j = 0; j < M; ++j)
        y[j] = -residual[static_cast<std::size_t>(rcmWork[static_cast<std::size_t>(j)])];
    if (!bandSolver(v, y, M, bandwidthWork))
        return false;
    for (int j = 0; j < M; ++j)
        dx[static_cast<std::size_t>(rcmWork[static_cast<std::size_t>(j)])] = y[j];
    return true;
}

// Row r of the backward-Euler history (C x) / dt of the linear capacitances, against the accepted solution.
double Circuit::capacitiveHistory(int r) const
{
    double s = 0.0;
    for (int e = capBegin[static_cast<std::size_t>(r)]; e < capBegin[static_cast<std::size_t>(r) + 1]; ++e)
    {
        const SparseEntry& en = capEntries[static_cast<std::size_t>(e)];
        s += capValues[static_cast<std::size_t>(en.index)] * x[static_cast<std::size_t>(en.col)];
    }
    return s / stepDt;
}

void Circuit::runNewtonCompiled()
{
    const int M = numM;
    double* xiData = xi.data();
    double* bnlData = bnl.data();
    double* a = A.data.data();

    // No nonlinear capacitance exists here, so the history term is the same for every iteration.
    for (int r = 0; r < M; ++r)
        hist[static_cast<std::size_t>(r)] = capacitiveHistory(r);

    const std::size_t numSlots = nlFlat.size();
    for (int iter = 0; iter < maxNewtonIterations; ++iter)
    {
        if (aDirty)
        {
            std::copy(A0work.data.begin(), A0work.data.end(), A.data.begin());
            aDirty = false;
        }
        std::fill(nlValues.begin(), nlValues.end(), 0.0);
        std::fill(bnl.begin(), bnl.end(), 0.0);

        double* nl = nlValues.data();
        for (const Device& d : devices)
        {
            const double vB = d.var[0] >= 0 ? xiData[d.var[0]] : 0.0;
            const double vC = d.var[1] >= 0 ? xiData[d.var[1]] : 0.0;
            const double vE = d.var[2] >= 0 ? xiData[d.var[2]] : 0.0;
            const BjtLinearisation L =
                d.pnp ? linearizeBjt(vE - vB, vC - vB, d.Is, d.betaF, d.betaR, d.VAF, d.vMax)
                      : linearizeBjt(vB - vE, vB - vC, d.Is, d.betaF, d.betaR, d.VAF, d.vMax);
            const double* j = &L.jac[0][0];
            for (int t = 0; t < 9; ++t)
                nl[d.slot[t]] += j[t];
            for (int t = 0; t < 3; ++t)
                if (d.var[t] >= 0)
                {
                    if (d.pnp)
                        bnlData[d.var[t]] += L.ieq[t];
                    else
                        bnlData[d.var[t]] -= L.ieq[t];
                }
        }
        for (std::size_t s = 0; s < numSlots; ++s)
            a[nlFlat[s]] = nlA0[s] + nl[s];

        double rmax = 0.0;
        const SparseEntry* re = residualEntries.data();
        for (int r = 0; r < M; ++r)
        {
            double s = 0.0;
            for (int e = residualBegin[static_cast<std::size_t>(r)];
                 e < residualBegin[static_cast<std::size_t>(r) + 1]; ++e)
                s += a[re[e].index] * xiData[re[e].col];
            const auto ru = static_cast<std::size_t>(r);
            const double res = s - (b[ru] + bnlData[r] + hist[ru]);
            residual[ru] = res;
            const double mag = std::abs(res);
            if (mag > rmax)
                rmax = mag;
        }

        if (dampedUpdate(iter, rmax))
            return;
    }
}

// residual = A xi - (b + bnl [+ history]) over the whole working matrix; returns its largest magnitude.
double Circuit::denseResidual(const Vector* history)
{
    double rmax = 0.0;
    for (int r = 0; r < numM; ++r)
    {
        double s = 0.0;
        for (int c = 0; c < numM; ++c)
            s += A(r, c) * xi[static_cast<std::size_t>(c)];
        const auto ru = static_cast<std::size_t>(r);
        residual[ru] = history != nullptr ? s - (b[ru] + bnl[ru] + (*history)[ru]) : s - (b[ru] + bnl[ru]);
        rmax = std::max(rmax, std::abs(residual[ru]));
    }
    return rmax;
}

// Solves for the Newton update and applies it under the damping schedule. Returns true when the iteration
// ends: converged (update and residual both small), or no factorisation was possible (the iterate is kept).
bool Circuit::dampedUpdate(int iter, double residualMax)
{
    const bool solved = useBanded ? solveBanded() || solveDense() : solveDense();
    if (!solved)
        return true;

    double m = 0.0;
    for (int i = 0; i < numM; ++i)
        m = std::max(m, std::abs(dx[static_cast<std::size_t>(i)]));
    const double limit = iter < dampedIterations ? earlyStepLimit : laterStepLimit;
    const double scale = m > limit ? limit / m : 1.0;
    for (int i = 0; i < numM; ++i)
        xi[static_cast<std::size_t>(i)] += scale * dx[static_cast<std::size_t>(i)];
    return m < newtonTolerance && residualMax < newtonTolerance;
}

void Circuit::runNewtonGeneral()
{
    const int M = numM;
    for (int iter = 0; iter < maxNewtonIterations; ++iter)
    {
        for (const auto& e : nonlinearWork)
        {
            Jnl(e.first, e.second) = 0.0;
            Cnl(e.first, e.second) = 0.0;
        }
        std::fill(bnl.begin(), bnl.end(), 0.0);
        stampNonlinearAll(xi, &Jnl, &Cnl, &bnl, stepDt);

        A.data = A0work.data;
        for (const auto& e : nonlinearWork)
            A(e.first, e.second) += Cnl(e.first, e.second) / stepDt + Jnl(e.first, e.second);
        aDirty = true;

        for (int r = 0; r < M; ++r)
        {
            double s = 0.0;
            for (int c = 0; c < M; ++c)
                s += (Cwork(r, c) + Cnl(r, c)) * x[static_cast<std::size_t>(c)];
            hist[static_cast<std::size_t>(r)] = s / stepDt;
        }
        if (dampedUpdate(iter, denseResidual(&hist)))
            return;
    }
}

// Capacitors open, no history, no regularisation; steps of at most 0.5. The working matrix A is reused
// here; a linear circuit keeps its transient factors apart (linLU), so a DC solve never disturbs them.
bool Circuit::dcOperatingPoint_()
{
    if (!isValidForStepping())
        return false;
    const int M = numM;
    stampSources(0.0);
    std::fill(xi.begin(), xi.end(), 0.0);
    aDirty = true; // A is used as working storage below

    for (int iter = 0; iter < maxDcIterations; ++iter)
    {
        Jnl.setZero();
        Cnl.setZero();
        std::fill(bnl.begin(), bnl.end(), 0.0);
        stampNonlinearAll(xi, &Jnl, &Cnl, &bnl, dcTimeStep);
        for (std::size_t i = 0; i < A.data.size(); ++i)
            A.data[i] = Gwork.data[i] + Jnl.data[i];

        const double rmax = denseResidual(nullptr);
        if (!solveDense())
            return false;

        double m = 0.0;
        for (double d : dx)
            m = std::max(m, std::abs(d));
        const double scale = m > 0.5 ? 0.5 / m : 1.0;
        for (int i = 0; i < M; ++i)
            xi[static_cast<std::size_t>(i)] += scale * dx[static_cast<std::size_t>(i)];
        if (m < 1e-8 && rmax < 1e-8)
        {
            x = xi;
            for (int i : stateUpdaters)
                components[static_cast<std::size_t>(i)]->updateState(x, dcTimeStep);
            return true;
        }
    }
    return false;
}

} // namespace pccn
