#!/usr/bin/env python3
"""Linear static analysis of plane pin-jointed trusses (direct stiffness method).

Usage:  python3 truss.py <input deck> [<listing>]

Reads the input deck (default listing name: the deck's name ending in ".out"), assembles the
global stiffness matrix of the bar elements, removes the supported degrees of freedom, solves
K u = f by Gaussian elimination with partial pivoting and writes a listing with the node
displacements, the element forces and stresses, the support reactions and a result summary
(total mass, largest absolute stress, largest absolute displacement component).

Only the Python standard library is used. The exit status is 0 after "NORMAL TERMINATION",
1 when the deck is wrong and 2 when the structure cannot carry the load (singular stiffness).

Input deck: free format, one item per line, "$" starts a comment line, keywords start with "*":

    *TITLE      one line of text
    *MATERIAL   YOUNGS <E>  and  DENSITY <rho>   (one per line)
    *NODE       <node> <x> <y>
    *ELEMENT    <element> <node i> <node j> <area>
    *BOUNDARY   <node> <fix x: 0|1> <fix y: 0|1>
    *LOAD       <node> <direction x> <direction y> <magnitude>
    *END

Numbers may be written in Fortran form as well (1.5D+03). Units are the user's; they only
have to be consistent (the ten-bar example uses inch, pound and psi).
"""

import math
import os
import sys

VERSION = "1.0"


class DeckError(Exception):
    """A fault in the input deck, reported with its line number."""


def parse_number(word, line_number):
    text = word.strip().replace("D", "E").replace("d", "e")
    try:
        value = float(text)
    except ValueError:
        raise DeckError("line %d: \"%s\" is not a number" % (line_number, word)) from None
    if math.isnan(value) or math.isinf(value):
        raise DeckError("line %d: \"%s\" is not a finite number" % (line_number, word))
    return value


def parse_integer(word, line_number):
    try:
        return int(word)
    except ValueError:
        raise DeckError("line %d: \"%s\" is not a whole number" % (line_number, word)) from None


def read_deck(path):
    """Answers the model as a dictionary; raises DeckError for any fault in the deck."""
    model = {"title": "", "youngs": None, "density": None, "nodes": {}, "elements": [],
             "supports": {}, "loads": []}
    section = None
    with open(path, "r", encoding="utf-8", errors="replace") as deck:
        for line_number, raw in enumerate(deck, start=1):
            line = raw.strip()
            if not line or line.startswith("$"):
                continue
            if line.startswith("*"):
                section = line.split()[0].upper()
                if section == "*END":
                    break
                if section not in ("*TITLE", "*MATERIAL", "*NODE", "*ELEMENT", "*BOUNDARY",
                                   "*LOAD"):
                    raise DeckError("line %d: unknown keyword %s" % (line_number, section))
                continue
            words = line.split()
            if section is None:
                raise DeckError("line %d: data before the first keyword" % line_number)
            if section == "*TITLE":
                model["title"] = line
            elif section == "*MATERIAL":
                if len(words) != 2 or words[0].upper() not in ("YOUNGS", "DENSITY"):
                    raise DeckError("line %d: expecting YOUNGS <value> or DENSITY <value>"
                                    % line_number)
                model[words[0].lower()] = parse_number(words[1], line_number)
            elif section == "*NODE":
                if len(words) != 3:
                    raise DeckError("line %d: a node needs a number, x and y" % line_number)
                node = parse_integer(words[0], line_number)
                if node in model["nodes"]:
                    raise DeckError("line %d: node %d is defined twice" % (line_number, node))
                model["nodes"][node] = (parse_number(words[1], line_number),
                                        parse_number(words[2], line_number))
            elif section == "*ELEMENT":
                if len(words) != 4:
                    raise DeckError("line %d: an element needs a number, two nodes and an area"
                                    % line_number)
                area = parse_number(words[3], line_number)
                if area <= 0.0:
                    raise DeckError("line %d: the area %s must be positive"
                                    % (line_number, words[3]))
                model["elements"].append((parse_integer(words[0], line_number),
                                          parse_integer(words[1], line_number),
                                          parse_integer(words[2], line_number), area))
            elif section == "*BOUNDARY":
                if len(words) != 3:
                    raise DeckError("line %d: a support needs a node and two flags" % line_number)
                node = parse_integer(words[0], line_number)
                flags = (parse_integer(words[1], line_number),
                         parse_integer(words[2], line_number))
                if any(flag not in (0, 1) for flag in flags):
                    raise DeckError("line %d: support flags are 0 (free) or 1 (fixed)"
                                    % line_number)
                model["supports"][node] = flags
            elif section == "*LOAD":
                if len(words) != 4:
                    raise DeckError("line %d: a load needs a node, a direction and a magnitude"
                                    % line_number)
                node = parse_integer(words[0], line_number)
                dx = parse_number(words[1], line_number)
                dy = parse_number(words[2], line_number)
                norm = math.hypot(dx, dy)
                if norm == 0.0:
                    raise DeckError("line %d: the load direction is zero" % line_number)
                magnitude = parse_number(words[3], line_number)
                model["loads"].append((node, magnitude * dx / norm, magnitude * dy / norm))
    check_model(model)
    return model


def check_model(model):
    if model["youngs"] is None or model["youngs"] <= 0.0:
        raise DeckError("*MATERIAL: YOUNGS must be given and positive")
    if model["density"] is None or model["density"] < 0.0:
        raise DeckError("*MATERIAL: DENSITY must be given and not negative")
    if not model["nodes"] or not model["elements"]:
        raise DeckError("the deck needs at least one *NODE and one *ELEMENT")
    seen = set()
    for number, node_i, node_j, _ in model["elements"]:
        if number in seen:
            raise DeckError("element %d is defined twice" % number)
        seen.add(number)
        for node in (node_i, node_j):
            if node not in model["nodes"]:
                raise DeckError("element %d uses node %d, which is not defined" % (number, node))
        if element_length(model, node_i, node_j) == 0.0:
            raise DeckError("element %d has zero length" % number)
    for node in list(model["supports"]) + [load[0] for load in model["loads"]]:
        if node not in model["nodes"]:
            raise DeckError("node %d of *BOUNDARY or *LOAD is not defined" % node)


def element_length(model, node_i, node_j):
    (xi, yi), (xj, yj) = model["nodes"][node_i], model["nodes"][node_j]
    return math.hypot(xj - xi, yj - yi)


def solve(matrix, rhs):
    """Gaussian elimination with partial pivoting; answers None for a singular matrix."""
    n = len(rhs)
    a = [row[:] + [rhs[i]] for i, row in enumerate(matrix)]
    scale = max((abs(value) for row in matrix for value in row), default=0.0)
    tolerance = 1e-12 * scale if scale > 0.0 else 0.0
    for column in range(n):
        pivot = max(range(column, n), key=lambda r: abs(a[r][column]))
        if abs(a[pivot][column]) <= tolerance:
            return None
        a[column], a[pivot] = a[pivot], a[column]
        for row in range(column + 1, n):
            factor = a[row][column] / a[column][column]
            if factor != 0.0:
                for k in range(column, n + 1):
                    a[row][k] -= factor * a[column][k]
    x = [0.0] * n
    for row in range(n - 1, -1, -1):
        total = a[row][n] - sum(a[row][k] * x[k] for k in range(row + 1, n))
        x[row] = total / a[row][row]
    return x


def analyse(model):
    """Answers displacements, element results and reactions, or None when singular."""
    nodes = sorted(model["nodes"])
    index = {node: position for position, node in enumerate(nodes)}
    size = 2 * len(nodes)
    stiffness = [[0.0] * size for _ in range(size)]
    force = [0.0] * size
    youngs = model["youngs"]
    geometry = []
    for number, node_i, node_j, area in model["elements"]:
        (xi, yi), (xj, yj) = model["nodes"][node_i], model["nodes"][node_j]
        length = math.hypot(xj - xi, yj - yi)
        c, s = (xj - xi) / length, (yj - yi) / length
        k = youngs * area / length
        dofs = [2 * index[node_i], 2 * index[node_i] + 1, 2 * index[node_j],
                2 * index[node_j] + 1]
        direction = [-c, -s, c, s]
        for p in range(4):
            for q in range(4):
                stiffness[dofs[p]][dofs[q]] += k * direction[p] * direction[q]
        geometry.append((number, node_i, node_j, area, length, dofs, direction))
    for node, fx, fy in model["loads"]:
        force[2 * index[node]] += fx
        force[2 * index[node] + 1] += fy
    fixed = set()
    for node, flags in model["supports"].items():
        for axis in (0, 1):
            if flags[axis]:
                fixed.add(2 * index[node] + axis)
    free = [dof for dof in range(size) if dof not in fixed]
    reduced = [[stiffness[r][c] for c in free] for r in free]
    solution = solve(reduced, [force[r] for r in free]) if free else []
    if solution is None:
        return None
    displacement = [0.0] * size
    for position, dof in enumerate(free):
        displacement[dof] = solution[position]
    elements = []
    for number, node_i, node_j, area, length, dofs, direction in geometry:
        elongation = sum(direction[p] * displacement[dofs[p]] for p in range(4))
        axial = youngs * area / length * elongation
        elements.append((number, node_i, node_j, area, length, axial, axial / area))
    reactions = {}
    for node in sorted(model["supports"]):
        values = []
        for axis in (0, 1):
            dof = 2 * index[node] + axis
            internal = sum(stiffness[dof][c] * displacement[c] for c in range(size))
            values.append(internal - force[dof])
        reactions[node] = values
    return {"nodes": nodes, "index": index, "displacement": displacement,
            "elements": elements, "reactions": reactions}


def write_listing(path, deck_name, model, result):
    nodes, index, u = result["nodes"], result["index"], result["displacement"]
    lines = ["1",
             "                    P L A N E   T R U S S   A N A L Y S I S"
             "          truss.py version %s" % VERSION,
             "     %s" % model["title"], "",
             "     INPUT DECK                 %s" % deck_name,
             "     NUMBER OF NODES        =   %6d" % len(nodes),
             "     NUMBER OF ELEMENTS     =   %6d" % len(model["elements"]),
             "     NUMBER OF EQUATIONS    =   %6d" % (2 * len(nodes) - sum(
                 sum(flags) for flags in model["supports"].values())),
             "     YOUNG'S MODULUS        =   %14.6E" % model["youngs"],
             "     MATERIAL DENSITY       =   %14.6E" % model["density"], "",
             "                    N O D E   D I S P L A C E M E N T S",
             "      NODE            U1              U2             |U|"]
    for node in nodes:
        ux, uy = u[2 * index[node]], u[2 * index[node] + 1]
        lines.append("  %8d  %14.6E  %14.6E  %14.6E" % (node, ux, uy, math.hypot(ux, uy)))
    lines += ["", "                    E L E M E N T   S T R E S S E S",
              "      ELEM  NODE-I  NODE-J          AREA          LENGTH"
              "           FORCE          STRESS"]
    for number, node_i, node_j, area, length, axial, stress in result["elements"]:
        lines.append("  %8d  %6d  %6d  %14.6E  %14.6E  %14.6E  %14.6E"
                     % (number, node_i, node_j, area, length, axial, stress))
    lines += ["", "                    S U P P O R T   R E A C T I O N S",
              "      NODE            R1              R2"]
    for node, (rx, ry) in result["reactions"].items():
        lines.append("  %8d  %14.6E  %14.6E" % (node, rx, ry))

    mass = sum(model["density"] * area * length
               for _, _, _, area, length, _, _ in result["elements"])
    worst_element = max(result["elements"], key=lambda e: abs(e[6]))
    worst_dof = max(range(len(u)), key=lambda dof: abs(u[dof]))
    lines += ["", "                    R E S U L T   S U M M A R Y",
              "     TOTAL MASS                =   %14.6E" % mass,
              "     MAXIMUM ABS. STRESS       =   %14.6E   AT ELEMENT %6d"
              % (abs(worst_element[6]), worst_element[0]),
              "     MAXIMUM ABS. DISPLACEMENT =   %14.6E   AT NODE    %6d   U%d"
              % (abs(u[worst_dof]), nodes[worst_dof // 2], worst_dof % 2 + 1),
              "", "     NORMAL TERMINATION", ""]
    write_atomically(path, "\n".join(lines))


def write_atomically(path, text):
    # The listing appears complete or not at all, so that nothing reads half a file.
    temporary = path + ".part"
    with open(temporary, "w", encoding="utf-8") as listing:
        listing.write(text)
    os.replace(temporary, path)


def main(argv):
    if len(argv) not in (2, 3):
        sys.stderr.write("usage: python3 truss.py <input deck> [<listing>]\n")
        return 1
    deck = argv[1]
    listing = argv[2] if len(argv) == 3 else os.path.splitext(deck)[0] + ".out"
    try:
        model = read_deck(deck)
    except OSError as error:
        sys.stderr.write("truss.py: cannot read the input deck %s: %s\n" % (deck, error.strerror))
        return 1
    except DeckError as error:
        sys.stderr.write("truss.py: error in the input deck %s: %s\n" % (deck, error))
        return 1
    result = analyse(model)
    if result is None:
        sys.stderr.write("truss.py: the stiffness matrix is singular: the structure is a "
                         "mechanism or is not supported enough\n")
        return 2
    write_listing(listing, os.path.basename(deck), model, result)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
