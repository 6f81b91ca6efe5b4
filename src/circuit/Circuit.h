#pragma once

#include "circuit/BandedSolver.h"
#include "circuit/Components.h"
#include "circuit/Matrix.h"

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace pccn
{

// Transient simulator: modified nodal analysis over resistors, capacitors, ideal voltage sources and
// Ebers-Moll transistors, backward-Euler integration and damped Newton-Raphson for the nonlinear parts.
//
// Variables: x[0 .. N-1] are the voltages of nodes 1 .. N (node n at x[n-1], ground is not a variable),
// x[N .. N+B-1] are branch currents in the order the branches were assigned by add().
//
// Use: addNode / add to build the netlist, prepare(sampleRate), optionally dcOperatingPoint_(), then write
// inputs[] and call step() as often as needed, reading x after each step. The netlist must not change after
// prepare: add() or addNode() afterwards marks the circuit unprepared, and step() / dcOperatingPoint_() then
// do nothing until prepare runs again. Element values and terminals are taken into the prepared solver by
// prepare (the transistor loop keeps its own copy), so set them before calling it.
//
// Degenerate netlists never make the simulator read or write outside its storage:
//  - a terminal on ground, on a negative node number or on a node number that was never added (> N) is
//    skipped by every stamp and reads 0 V, i.e. it behaves like a grounded terminal. The variable layout
//    therefore always stays exactly the one addNode() and add() defined;
//  - singular systems are not reported: a Newton step that cannot factorise keeps its last iterate, and a
//    linear circuit whose prepare-time factorisation failed solves with the factors that were left;
//  - arithmetic is plain IEEE double: a zero resistance is an infinite conductance and yields non-finite
//    voltages exactly as the equations do. Callers that tabulate results discard non-finite values.
class Circuit
{
public:
    Circuit() = default;
    Circuit(Circuit&&) = default;
    Circuit& operator=(Circuit&&) = default;
    Circuit(const Circuit&) = delete;
    Circuit& operator=(const Circuit&) = delete;

    // Returns the number of the node with exactly this name, adding it (numbered from 1) if it is new.
    int addNode(const std::string& name);

    // Takes ownership, assigns branch variables (numBranches() of 1 or 2; any other count assigns none) and
    // appends. A null pointer is ignored.
    void add(std::unique_ptr<Component> component);

    // Sizes, stamps and pre-factorises everything for 1 / sampleRate steps; discards time, x and inputs.
    void prepare(double sampleRate);

    // Solves the DC operating point (capacitors open) and makes it the starting solution. Returns whether
    // the iteration converged; on failure x is left as it was.
    bool dcOperatingPoint_();

    // Advances by one time step and stores the new solution in x.
    void step();

    // Index of the first component with this name, -1 if none.
    int findComponent(const std::string& componentName) const;

    // Node number of this name; 0 for "gnd", "0" and names no node has.
    int findNode(const std::string& nodeName) const;

    int numNodes() const { return static_cast<int>(nodeNames.size()); }
    int numVariables() const { return numNodes() + branchCount; }

    // Voltage of node n after the last step; 0 for ground and for numbers that are not nodes.
    double nodeVoltage(int node) const
    {
        return node >= 1 && static_cast<std::size_t>(node) <= x.size() && node <= numNodes()
                   ? x[static_cast<std::size_t>(node) - 1]
                   : 0.0;
    }

    // Netlist (change only through addNode and add).
    std::vector<std::string> nodeNames;
    std::vector<std::unique_ptr<Component>> components;
    int branchCount = 0;
    bool hasNonlinear = false;

    // Timing.
    double dt = 0.0;
    double time = 0.0;

    // What prepare built. Read-only reports for callers: the solver works on its own copies, so changing
    // these has no effect, with one exception: useBanded selects the solver of later Newton iterations
    // (both solvers are always prepared).
    Matrix G, C;                                       // linear stamps
    Matrix A0;                                         // G + C/dt with the 1e-9 zero-diagonal regularisation
    Matrix pattern;                                    // structural pattern of the system matrix
    std::vector<int> zeroDiagonal;                     // structurally zero diagonals, ascending
    std::vector<std::pair<int, int>> nonlinearEntries; // (row, col) touched by nonlinear stamps, row-major
    std::vector<int> rcmOrder;                         // position j holds variable rcmOrder[j]
    int bandwidth = 0;                                 // half-bandwidth of pattern under rcmOrder
    bool useBanded = false;                            // banded solver for Newton iterations

    // Owner-written input value per component (a voltage source adds its input to its voltage).
    Vector inputs;
    // Accepted solution of the last step.
    Vector x;

private:
    void run_newton_();
    void runNewtonCompiled();
    void runNewtonGeneral();
    bool dampedUpdate(int iter, double residualMax);
    double denseResidual(const Vector* history);
    double capacitiveHistory(int r) const;
    bool solveBanded();
    bool solveDense();
    void stampSources(double atTime);
    void stampNonlinearAll(const Vector& at, Matrix* jnl, Matrix* cnl, Vector* bnlOut, double ctxDt);
    void buildPlans();
    bool isValidForStepping() const;

    // Working storage (sized by prepare, never reallocated by step).
    Matrix A;   // system matrix, LU factors after a dense factorisation
    Matrix Jnl; // nonlinear Jacobian
    Matrix Cnl; // nonlinear capacitances
    Vector b, bnl, rhs, dx, residual, hist, xi;
    std::vector<int> luPerm;

    // Compiled form of the prepared netlist.
    struct SparseEntry
    {
        int index; // flat index into the matrix or compact array the entry belongs to
        int col;   // variable the entry multiplies
    };
    struct Device
    {
        int var[3];  // variables of base, collector, emitter; -1 for a grounded terminal
        int slot[9]; // nonlinear-entry slot of each Jacobian term (row-major), dummy slot when unused
        double Is, betaF, betaR, VAF, vMax;
        bool pnp;
    };

    bool prepared = false;
    std::size_t preparedComponents = 0;
    int numN = 0;  // N at prepare
    int numM = 0;  // M at prepare
    Matrix A0work; // the solver's own copies of what prepare reports above
    Matrix Gwork;
    Matrix Cwork;
    double stepDt = 0.0;
    std::vector<int> rcmWork;
    int bandwidthWork = 0;
    std::vector<std::pair<int, int>> nonlinearWork;
    std::vector<int> nonlinearComponents; // indices of components that reported isNonlinear()
    Matrix linLU;                         // prepare-time factors of a linear circuit
    std::vector<int> linPerm;
    bool aDirty = false; // A holds factors and must be rebuilt from A0work before use
    bool compiledNewton = false;

    std::vector<int> sourceStampers; // components whose stampLinear can write into b, in order
    std::vector<char> sourceIsPlain; // 1 when the entry is a plain VoltageSource (stamped inline)
    std::vector<int> stateUpdaters;  // components that may override updateState

    std::vector<Device> devices;
    std::vector<double> nlValues;   // per nonlinear-entry slot, plus a dummy slot at the end
    std::vector<int> nlFlat;        // flat index into A of each slot
    std::vector<double> nlA0;       // A0 at each slot
    std::vector<int> residualBegin; // rows of A's structural nonzeros
    std::vector<SparseEntry> residualEntries;
    std::vector<int> capBegin; // rows of C's nonzeros
    std::vector<SparseEntry> capEntries;
    std::vector<double> capValues;

    // Banded solver. Each solve starts from A0's band, permuted by rcmOrder into the compact rows of
    // BandedSolver.h, and loads A's nonlinear entries into it.
    BandSolver bandSolver = nullptr;
    std::vector<double> bandBase;
    std::vector<int> bandSlot; // position in the band of each nonlinear entry
    std::vector<double> bandWork;
    Vector bandY; // permuted right-hand side and solution

    // Triangular solve of a linear circuit with its prepare-time factors.
    std::vector<int> linFwdBegin;
    std::vector<SparseEntry> linFwdEntries;
    std::vector<int> linBackBegin;
    std::vector<SparseEntry> linBackEntries;
};

} // namespace pccn
