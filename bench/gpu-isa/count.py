#!/usr/bin/env python3
"""What one step of each OpenCL kernel's hot loop costs in machine code.

Reads NVIDIA SASS (cuobjdump -sass, with ptxas -v's log) and AMD assembly
(clang -S), finds every kernel's loops from its control-flow graph, picks the
step loop and counts the shortest way once round it (no hit, no conditional
correction taken: the branches that skip them are followed), divided by the
loop's unroll factor (its counter's step, or where no counter adds a step
the source's #pragma unroll count), by class. bench/gpu-isa.sh runs it; see
README.md, "GPU kernels on real cards without a card".

  count.py --source sieve.cl --group 64 nv:sm_86:k.sass:k.log amd:gfx1030:k.s ...
"""

import argparse
import heapq
import re
import sys

# ---------------------------------------------------------------- the model

# Per SM, from the CUDA C Programming Guide (throughput of the arithmetic
# instructions; per compute capability limits) and cuda_occupancy.h.
NV_ARCH = {
    "sm_75": dict(name="Turing", warps=32, blocks=16, regs=65536, smem=65536, reserved=0),
    "sm_86": dict(name="Ampere GA10x", warps=48, blocks=16, regs=65536, smem=102400, reserved=1024),
    "sm_89": dict(name="Ada", warps=48, blocks=24, regs=65536, smem=102400, reserved=1024),
}
IMAD_PER_CLOCK, ALU_PER_CLOCK, ISSUE_PER_CLOCK = 64, 64, 128

AMD_ARCH = {
    "gfx1030": "RDNA2",
    "gfx90a": "CDNA2",
}

# Instructions a step that the kernels aim for, and what the public OpenCL
# GFN sieve (gfsieve) needs, as measured the same way: the 64-bit walks
# (below 2^63 and to 2^64) against its 64-bit walk, the walk to 2^80 against
# its 79-bit walk; the walk above 2^80 has no aim, and that walk beside it.
TARGETS = {"walk64": {"sm_75": 33, "sm_86": 31}, "wide": {"sm_86": 70}}
REFERENCE = {
    "walk64": ("gfsieve's 64-bit walk", {"sm_75": 39.5, "sm_86": 38.5, "sm_89": 38.5}),
    "wide": ("gfsieve's 79-bit walk", {"sm_75": 76, "sm_86": 74, "sm_89": 74}),
}
# Each walk kernel's (aim, reference), by the range of p it walks.
WALK_GROUPS = {"walk64": ("walk64", "walk64"), "walk64m": ("walk64", "walk64"), "walk80": ("wide", "wide"),
               "walk96": (None, "wide")}

# ---------------------------------------------------------------- instructions


class Insn:
    __slots__ = ("key", "label", "pred", "op", "args", "target", "kind")

    def __init__(self, key, pred, op, args):
        self.key = key  # address (SASS) or line index (AMD), for printing and order
        self.label = None  # AMD: the label that starts here
        self.pred = pred  # SASS guard predicate ("P0", "!P1"), None when always
        self.op = op
        self.args = args  # operands, split at commas
        self.target = None  # branch or call target (an address or a label)
        self.kind = "plain"  # plain, jump, cjump, exit, cexit, call, ret


def split_args(text):
    return [a.strip() for a in text.split(",") if a.strip()] if text.strip() else []


# ---------------------------------------------------------------- NVIDIA SASS

SASS_FUNC = re.compile(r"^\s*Function\s*:\s*(\S+)")
SASS_INSN = re.compile(r"^\s*/\*([0-9a-f]{4,})\*/\s+(?:@(!?U?P(?:T|\d+))\s+)?([A-Z][A-Z0-9_.]*)\s*([^;]*);")
NV_CONTROL = {"BRA", "BRX", "JMP", "JMX", "BSSY", "BSYNC", "BREAK", "BMOV", "WARPSYNC", "EXIT", "RET", "CALL",
              "YIELD", "NOP", "KILL", "BPT", "NANOSLEEP", "RTT", "JMXU", "BRXU"}
NV_ALU = {"IADD3", "IADD", "IADD32I", "VIADD", "LOP3", "LOP", "LOP32I", "ISETP", "SEL", "SHF", "SHL", "SHR", "LEA",
          "IMNMX", "VIMNMX", "MOV", "MOV32I", "PRMT", "IABS", "BMSK", "SGXT", "PLOP3", "P2R", "R2P", "ISCADD", "ICMP",
          "CSET", "CSETP", "PSETP", "XMAD"}


def parse_sass(text):
    """{function name: [Insn]} from cuobjdump -sass."""
    funcs, cur = {}, None
    for line in text.splitlines():
        m = SASS_FUNC.match(line)
        if m:
            cur = funcs.setdefault(m.group(1), [])
            continue
        m = SASS_INSN.match(line)
        if not m or cur is None:
            continue
        insn = Insn(int(m.group(1), 16), m.group(2), m.group(3), split_args(m.group(4)))
        base = insn.op.split(".")[0]
        guarded = insn.pred not in (None, "PT")
        if base in ("BRA", "CALL", "BRX", "JMP", "JMX"):
            targets = re.findall(r"0x[0-9a-f]+", m.group(4))
            insn.target = int(targets[-1], 16) if targets and base in ("BRA", "CALL", "JMP") else None
            # A uniform or divergence predicate among the operands makes a branch conditional too.
            extra = [a for a in insn.args if not re.fullmatch(r"`?\(?0x[0-9a-f]+\)?", a)]
            if base == "CALL":
                insn.kind = "call"
            elif insn.target is None:
                insn.kind = "exit"  # an indirect jump: nothing to follow
            else:
                insn.kind = "cjump" if guarded or extra else "jump"
        elif base in ("EXIT", "KILL"):
            insn.kind = "cexit" if guarded else "exit"
        elif base == "RET":
            insn.kind = "cexit" if guarded else "ret"
        cur.append(insn)
    for insns in funcs.values():
        call_jumps(insns)
    return funcs


def call_jumps(insns):
    """ptxas leaves a divergent loop by a CALL.REL.NOINC past the loop's closing BRA, never to return:
    a jump. A real call goes to a function of its own, beyond the kernel's EXIT."""
    at = {insn.key: i for i, insn in enumerate(insns)}
    for i, insn in enumerate(insns):
        if insn.kind != "call" or insn.target not in at:
            continue
        t = at[insn.target]
        before = insns[t - 1]
        if i < t <= i + 4 and before.kind == "jump" and before.target != before.key:
            insn.kind = "cjump" if insn.pred not in (None, "PT") else "jump"


def nv_class(insn):
    base = insn.op.split(".")[0]
    if base.startswith("IMAD") or base == "IMUL":
        return "imad"
    if base in NV_ALU:
        return "alu"
    if base in NV_CONTROL:
        return "ctrl"
    return "other"


def nv_product(insn):
    """A real multiply, not a move, shift or add that ptxas put on the multiply pipe."""
    if not insn.op.startswith("IMAD"):
        return False
    if re.match(r"IMAD\.(MOV|SHL|IADD)", insn.op):
        return False
    regs = [a for a in insn.args[1:] if not re.fullmatch(r"!?U?P(T|\d+)", a)]
    return len(regs) >= 2 and "RZ" not in regs[:2]


def nv_wide(insn):
    return insn.op.startswith("IMAD.WIDE") or insn.op.startswith("IMAD.HI")


def parse_ptxas_log(text):
    """{entry: {regs, stack, spill_st, spill_ld, smem}} from ptxas -v."""
    res, entry, props = {}, None, None
    for line in text.splitlines():
        m = re.search(r"Compiling entry function '([^']+)'", line)
        if m:
            entry = m.group(1)
            res[entry] = dict(regs=0, stack=0, spill_st=0, spill_ld=0, smem=0)
            continue
        m = re.search(r"Function properties for (\S+)", line)
        if m:
            props = m.group(1)
            continue
        m = re.search(r"(\d+) bytes stack frame, (\d+) bytes spill stores, (\d+) bytes spill loads", line)
        if m and props in res:
            res[props].update(stack=int(m.group(1)), spill_st=int(m.group(2)), spill_ld=int(m.group(3)))
            continue
        m = re.search(r"Used (\d+) registers", line)
        if m and entry in res:
            res[entry]["regs"] = int(m.group(1))
            s = re.search(r"(\d+) bytes smem", line)
            if s:
                res[entry]["smem"] = int(s.group(1))
            c = re.search(r"(\d+) bytes cumulative stack size", line)
            if c:
                res[entry]["stack"] = max(res[entry]["stack"], int(c.group(1)))
    return res


def nv_occupancy(arch, regs, smem, group):
    """Resident warps per SM, as cuda_occupancy.h reckons them (no partitioned caching)."""
    a = NV_ARCH[arch]
    warps_per_block = -(-group // 32)
    per_warp = -(-regs * 32 // 256) * 256
    blocks = min(a["blocks"], a["warps"] // warps_per_block)
    if per_warp:
        blocks = min(blocks, (a["regs"] // 4 // per_warp) * 4 // warps_per_block)
    if smem:
        blocks = min(blocks, a["smem"] // (smem + a["reserved"]))
    return blocks * warps_per_block


# ---------------------------------------------------------------- AMD assembly

AMD_LABEL = re.compile(r"^([.\w$]+):")
AMD_INSN = re.compile(r"^\s+([a-z][a-z0-9_]*)(?:\s+(.*?))?\s*(?:;.*)?$")
AMD_CTRL = re.compile(r"^s_(branch|cbranch|endpgm|setpc|swappc|waitcnt|nop|barrier|clause|sleep|inst_prefetch|trap|"
                      r"sethalt|code_end|delay_alu|sendmsg|ttracedata|icache)")
AMD_MEM = re.compile(r"^(s_load|s_buffer|s_store|s_dcache|s_memtime|s_memrealtime|s_atomic|global_|buffer_|flat_|"
                     r"scratch_|ds_|image_|tbuffer_)")


def parse_amd(text):
    """{function: [Insn]} and {kernel: resources} from clang -S for amdgcn."""
    funcs, info, cur, name, last = {}, {}, None, None, None
    pending = None
    for n, line in enumerate(text.splitlines()):
        m = re.match(r"^\s+\.type\s+([\w$.]+),@function", line)
        if m:
            name = m.group(1)
            continue
        m = AMD_LABEL.match(line)
        if m:
            lab = m.group(1)
            if lab == name:
                cur = funcs.setdefault(name, [])
                last = name
            elif cur is not None and lab.startswith(".LBB"):
                pending = lab
            elif lab.startswith(".Lfunc_end"):
                cur = None
            continue
        if line.startswith("; Kernel info:") or line.startswith("; Function info:"):
            info.setdefault(last, {})
            continue
        m = re.match(r"^; (NumSgprs|NumVgprs|NumAgprs|TotalNumVgprs|ScratchSize|Occupancy): (\d+)", line)
        if m and last in info:
            info[last][m.group(1)] = int(m.group(2))
            continue
        if cur is None:
            continue
        m = AMD_INSN.match(line)
        if not m or line.lstrip().startswith(".") or line.lstrip().startswith(";"):
            continue
        op = m.group(1)
        insn = Insn(n, None, op, split_args(m.group(2) or ""))
        if pending:
            insn.label, pending = pending, None
        if op == "s_branch":
            insn.kind, insn.target = "jump", insn.args[0]
        elif op.startswith("s_cbranch"):
            insn.kind, insn.target = "cjump", insn.args[0]
        elif op == "s_endpgm":
            insn.kind = "exit"
        elif op.startswith("s_setpc"):
            insn.kind = "ret"
        elif op.startswith("s_swappc"):
            insn.kind = "call"
        cur.append(insn)
    return funcs, info


def amd_class(insn):
    op = insn.op
    if AMD_CTRL.match(op):
        return "ctrl"
    if AMD_MEM.match(op):
        return "mem"
    if op.startswith("v_"):
        return "valu"
    if op.startswith("s_"):
        return "salu"
    return "other"


def amd_product(insn):
    return re.match(r"^(v_mad|v_mul|s_mul)\w*_[iu](16|24|32|64)", insn.op) is not None


# ---------------------------------------------------------------- control flow


class Block:
    __slots__ = ("first", "last", "succ", "pred")

    def __init__(self, first, last):
        self.first, self.last = first, last  # insn indices, inclusive
        self.succ, self.pred = [], []


def build_cfg(insns, amd):
    """Basic blocks and their edges; the roots are the entry and every call target."""
    if not insns:
        return [], [], {}
    at = {}
    for i, insn in enumerate(insns):
        if amd:
            if insn.label:
                at[insn.label] = i
        else:
            at[insn.key] = i
    leaders = {0}
    roots = [0]
    for i, insn in enumerate(insns):
        if insn.kind != "plain" and i + 1 < len(insns):
            leaders.add(i + 1)
        if insn.target is not None and insn.target in at:
            leaders.add(at[insn.target])
            if insn.kind == "call":
                roots.append(at[insn.target])
        if amd and insn.label:
            leaders.add(i)
    starts = sorted(leaders)
    blocks, block_of = [], {}
    for n, s in enumerate(starts):
        e = (starts[n + 1] if n + 1 < len(starts) else len(insns)) - 1
        block_of[s] = len(blocks)
        blocks.append(Block(s, e))
    def link():
        for b, blk in enumerate(blocks):
            t = insns[blk.last]
            nxt = b + 1 if b + 1 < len(blocks) else None
            succ = []
            if t.kind in ("jump", "cjump") and t.target in at:
                succ.append(block_of[at[t.target]])
            if t.kind in ("plain", "cjump", "cexit", "call") and nxt is not None:
                succ.append(nxt)
            blk.succ, blk.pred = list(dict.fromkeys(succ)), []
        for b, blk in enumerate(blocks):
            for s in blk.succ:
                blocks[s].pred.append(b)

    link()
    return blocks, sorted({block_of[r] for r in roots}), block_of


def dominators(blocks, roots):
    """dom[b]: the set of blocks dominating b, as a bit mask; a virtual root joins the real ones."""
    n = len(blocks)
    order, seen = [], set()
    for r in roots:  # reverse post-order, iteratively
        if r in seen:
            continue
        stack = [(r, iter(blocks[r].succ))]
        seen.add(r)
        while stack:
            node, it = stack[-1]
            for s in it:
                if s not in seen:
                    seen.add(s)
                    stack.append((s, iter(blocks[s].succ)))
                    break
            else:
                order.append(node)
                stack.pop()
    order.reverse()
    full = (1 << n) - 1
    dom = [full] * n
    rootset = set(roots)
    for r in roots:
        dom[r] = 1 << r
    changed = True
    while changed:
        changed = False
        for b in order:
            if b in rootset:
                continue
            preds = [p for p in blocks[b].pred if p in seen]
            new = full
            for p in preds:
                new &= dom[p]
            new |= 1 << b
            if new != dom[b]:
                dom[b], changed = new, True
    return dom, seen


def natural_loops(blocks, roots):
    """{header: set of body blocks}, the bodies of loops sharing a header merged."""
    dom, reached = dominators(blocks, roots)
    loops = {}
    for u in reached:
        for h in blocks[u].succ:
            if dom[u] >> h & 1:  # u -> h with h dominating u: a back edge
                body = loops.setdefault(h, {h})
                work = [u]
                while work:
                    x = work.pop()
                    if x not in body:
                        body.add(x)
                        work.extend(p for p in blocks[x].pred if p in reached)
    return loops


# ---------------------------------------------------------------- the loop's counter

NV_MOVE = re.compile(r"^(MOV|IMAD\.MOV)")
AMD_MOVE = re.compile(r"^[sv]_mov_b(32|64)")


def reg_names(arg, amd):
    """The registers an operand names: R7, v7, s[4:5] gives s4 and s5, v[9:10] v9 and v10."""
    if amd:
        m = re.fullmatch(r"-?([sv])\[(\d+):(\d+)\]", arg)
        if m:
            return [f"{m.group(1)}{i}" for i in range(int(m.group(2)), int(m.group(3)) + 1)]
        m = re.fullmatch(r"-?([sv]\d+)", arg)
        return [m.group(1)] if m else []
    m = re.fullmatch(r"[-~!]?\|?(U?R\d+)\|?(\.reuse)?(\.H1|\.B\d)?", arg)
    return [m.group(1)] if m else []


def writes(insn, reg, amd):
    if not insn.args:
        return False
    if amd:
        if insn.kind != "plain" or insn.op.startswith(("v_cmp_", "s_cmp", "s_bitcmp")) or AMD_MEM.match(insn.op):
            return insn.op.startswith(("s_load", "global_load", "buffer_load", "flat_load", "ds_read",
                                       "scratch_load")) and reg in reg_names(insn.args[0], True)
        return reg in reg_names(insn.args[0], True)
    if nv_class(insn) == "ctrl" or re.match(r"(ST|RED|ATOM[GS]?\b)", insn.op) or "SETP" in insn.op:
        return False
    dest = reg_names(insn.args[0], False)
    if not dest:
        return False
    wide = ".WIDE" in insn.op or ".64" in insn.op or insn.op.startswith(("LDG.E.64", "CS2R"))
    n = int(dest[0][1:].lstrip("R")) if dest[0].startswith("R") else None
    return reg == dest[0] or (wide and n is not None and reg == f"R{n + 1}")


def writes_pred(insn, p):
    if "SETP" in insn.op or insn.op.startswith("PLOP3"):
        return p in insn.args[:2]
    return insn.op.startswith("LOP3") and insn.args[:1] == [p]


def reaching_defs(blocks, insns, body, blk, idx, reg, amd, is_def=None):
    """The instructions in the loop whose value of reg reaches insns[idx], which lies in block blk."""
    is_def = is_def or (lambda d: writes(d, reg, amd))
    found, seen = [], set()
    work = [(blk, idx - 1)]
    while work:
        b, i = work.pop()
        hit = None
        while i >= blocks[b].first:
            if is_def(insns[i]):
                hit = i
                break
            i -= 1
        if hit is not None:
            found.append((b, hit))
            continue
        for p in blocks[b].pred:
            if p in body and p not in seen:
                seen.add(p)
                work.append((p, blocks[p].last + 1))
    return found


def immediates(insn, amd):
    vals = []
    for a in insn.args[1:]:
        m = re.fullmatch(r"(-?)(0x[0-9a-f]+|\d+)", a)
        if m:
            vals.append(int(m.group(2), 0) * (-1 if m.group(1) else 1))
    return vals


def counter_kind(blocks, insns, body, blk, idx, reg, amd, depth=0):
    """('add', step), ('shift', bits) or None: how the loop moves reg on."""
    if depth > 4:
        return None
    kinds = []
    for b, i in reaching_defs(blocks, insns, body, blk, idx, reg, amd):
        d = insns[i]
        imm = immediates(d, amd)
        srcs = [r for a in d.args[1:] for r in reg_names(a, amd)]
        if (NV_MOVE if not amd else AMD_MOVE).match(d.op) and srcs:
            k = counter_kind(blocks, insns, body, b, i, srcs[-1], amd, depth + 1)
        elif not amd and re.match(r"(IADD3|VIADD|IADD32I)", d.op) and imm and len(srcs) >= 1:
            k = ("add", sum(imm))
        elif amd and re.match(r"[sv]_(add|sub)", d.op) and imm and srcs:
            k = ("add", sum(imm) * (-1 if "_sub" in d.op and "subrev" not in d.op else 1))
        elif not amd and d.op.startswith(("SHF.R", "SHR")) and imm:
            k = ("shift", imm[0])
        elif amd and re.match(r"(v_lshrrev|s_lshr)", d.op) and imm:
            k = ("shift", imm[0])
        else:
            k = None
        if k:
            kinds.append(k)
    for k in kinds:
        if k[0] == "shift":
            return k
    return kinds[0] if kinds else None


def compare_regs(blocks, insns, body, b, i, amd):
    """The registers that the compare deciding the branch insns[i] reads, with where it lies."""
    out = []
    if amd:
        j = i - 1
        while j >= blocks[b].first:
            if insns[j].op.startswith(("v_cmp", "s_cmp", "s_bitcmp")):
                regs = [r for a in insns[j].args for r in reg_names(a, True)]
                return [(b, j, r) for r in regs]
            j -= 1
        return out
    pred = insns[i].pred or next((a for a in insns[i].args if re.fullmatch(r"!?U?P\d+", a)), None)
    if not pred:
        return out
    todo, done = [(b, i, pred.lstrip("!"))], set()
    while todo:
        tb, ti, p = todo.pop()
        if (ti, p) in done or p in ("PT", "UPT"):
            continue
        done.add((ti, p))
        for db, di in reaching_defs(blocks, insns, body, tb, ti, p, False, lambda d: writes_pred(d, p)):
            d = insns[di]
            if "SETP" in d.op or d.op.startswith("LOP3"):
                out.extend((db, di, r) for a in d.args[2:] for r in reg_names(a, False))
            todo.extend((db, di, a.lstrip("!")) for a in d.args[2:] if re.fullmatch(r"!?U?P\d+", a))
    return out


def loop_counter(blocks, insns, header, body, amd):
    """How the loop counts, from the compares of its exits: (kind, amount, register, block, compare),
    kind 'add' (amount the step) or 'shift' (bits a round), or None."""
    kinds = []
    for b in sorted(body):
        t = insns[blocks[b].last]
        if t.kind != "cjump":
            continue
        if not any(s == header or s not in body for s in blocks[b].succ):
            continue
        for cb, ci, r in compare_regs(blocks, insns, body, b, blocks[b].last, amd):
            k = counter_kind(blocks, insns, body, cb, ci, r, amd)
            if k:
                kinds.append(k + (r, cb, ci))
    for k in kinds:
        if k[0] == "shift":
            return k
    adds = [k for k in kinds if k[1]]
    if not adds:
        return None
    # A counter that addresses memory steps by bytes, not by rounds.
    reg = adds[0][2]
    for b in body:
        for i in range(blocks[b].first, blocks[b].last + 1):
            for a in insns[i].args:
                if "[" in a and re.search(r"[\[\s+:]" + re.escape(reg) + r"\b", a):
                    return ("bytes",) + adds[0][1:]
    return adds[0]


def const_value(insn, amd):
    a = insn.args
    if amd:
        ok = re.match(r"[sv]_mov(k)?_[bi]32", insn.op) and len(a) == 2
        v = a[1] if ok else None
    elif insn.op.startswith("MOV") and len(a) == 2:
        v = a[1]
    elif insn.op.startswith("IMAD.MOV") and len(a) == 4 and a[1] == a[2] == "RZ":
        v = a[3]
    elif insn.op == "CS2R" and a[1:] == ["SRZ"]:
        v = "0"
    else:
        v = None
    if v in ("RZ", "0"):
        return 0
    m = re.fullmatch(r"-?(0x[0-9a-f]+|\d+)", v or "")
    return int(v, 0) if m else None


def trip_count(blocks, insns, header, body, counter, amd):
    """Rounds of a loop that counts from a constant to a constant, else None."""
    if not counter or counter[0] != "add":
        return None
    step, reg, ci = counter[1], counter[2], counter[4]
    bounds = immediates(insns[ci], amd)
    if len(bounds) != 1:
        return None
    outside = set(range(len(blocks))) - body
    values = set()
    for p in blocks[header].pred:
        if p in body:
            continue
        for b, i in reaching_defs(blocks, insns, outside, p, blocks[p].last + 1, reg, amd):
            values.add(const_value(insns[i], amd))
    if len(values) != 1 or None in values:
        return None
    n, r = divmod(bounds[0] - values.pop(), step)
    return n if r == 0 and 0 < n <= 4096 else None


# ---------------------------------------------------------------- one kernel


class Loop:
    def __init__(self, **kw):
        self.__dict__.update(kw)


def analyse(insns, amd):
    """Every loop of a function that can be counted, with its shortest round by class. A loop inside it
    that counts from a constant to a constant is taken that many rounds; a loop without a product is
    passed once (on sm_75 ptxas closes a divergent loop with a wait for the warp to gather again, a
    loop of its own); a loop holding any other loop with a product is not counted."""
    blocks, roots, _ = build_cfg(insns, amd)
    if not blocks:
        return []
    loops = natural_loops(blocks, roots)
    product = amd_product if amd else nv_product
    classify = amd_class if amd else nv_class
    works = {h for h, body in loops.items()
             if any(product(insns[i]) for b in body for i in range(blocks[b].first, blocks[b].last + 1))}
    # The loop directly around each one: the smallest other loop holding its header.
    parent = {}
    for h in loops:
        around = [o for o in loops if o != h and h in loops[o]]
        parent[h] = min(around, key=lambda o: len(loops[o])) if around else None
    done = {}

    def block_cost(b):
        c = Loop(length=0, counts={}, products=0, wide=0, calls=0)
        for i in range(blocks[b].first, blocks[b].last + 1):
            add_insn(c, insns[i])
        return c

    def add_insn(c, insn):
        c.length += 1
        k = classify(insn)
        c.counts[k] = c.counts.get(k, 0) + 1
        if amd:
            for pre in ("v_mad", "v_mul"):
                if insn.op.startswith(pre):
                    c.counts[pre] = c.counts.get(pre, 0) + 1
        c.products += product(insn)
        c.wide += (not amd) and nv_wide(insn)
        c.calls += insn.kind == "call"

    def add(c, d, times=1):
        c.length += d.length * times
        for k, v in d.counts.items():
            c.counts[k] = c.counts.get(k, 0) + v * times
        c.products += d.products * times
        c.wide += d.wide * times
        c.calls += d.calls * times

    def measure(h):
        if h in done:
            return done[h]
        body = loops[h]
        done[h] = None
        inner = [o for o in loops if parent[o] == h and o in works]
        nested = {}
        for o in inner:
            m = measure(o)
            if m is None or m.trips is None:
                return None
            nested[o] = m
        # A node is a block, or a whole inner loop run its rounds.
        node_of = {b: ("b", b) for b in body}
        for o in inner:
            for b in loops[o]:
                node_of[b] = ("l", o)
        cost = {}
        for node in set(node_of.values()):
            if node[0] == "b":
                cost[node] = block_cost(node[1])
            else:
                cost[node] = Loop(length=0, counts={}, products=0, wide=0, calls=0)
                add(cost[node], nested[node[1]].round, nested[node[1]].trips)
        succ = {}
        for b in body:
            for t in blocks[b].succ:
                if t == h:
                    succ.setdefault(node_of[b], set()).add("back")
                elif t in body and node_of[t] != node_of[b]:
                    succ.setdefault(node_of[b], set()).add(node_of[t])
        start = ("b", h)
        dist, prev, heap, n = {start: cost[start].length}, {}, [(cost[start].length, 0, start)], 1
        best = None
        while heap:
            d, _, v = heapq.heappop(heap)
            if d > dist.get(v, 1 << 60):
                continue
            for w in sorted(succ.get(v, ()), key=str):
                if w == "back":
                    if best is None or d < best[0]:
                        best = (d, v)
                    continue
                nd = d + cost[w].length
                if nd < dist.get(w, 1 << 60):
                    dist[w], prev[w] = nd, v
                    heapq.heappush(heap, (nd, n, w))
                    n += 1
        if best is None:
            return None
        rnd, v = Loop(length=0, counts={}, products=0, wide=0, calls=0), best[1]
        while True:
            add(rnd, cost[v])
            if v == start:
                break
            v = prev[v]
        counter = loop_counter(blocks, insns, h, body, amd)
        keys = [insns[i].key for b in body for i in range(blocks[b].first, blocks[b].last + 1)]
        hdr = insns[blocks[h].first]
        where = (hdr.label or f"line {hdr.key + 1}") if amd else f"0x{min(keys):04x}-0x{max(keys):04x}"
        done[h] = Loop(where=where, order=blocks[h].first, round=rnd, counter=counter[:2] if counter else None,
                       unroll=abs(counter[1]) if counter and counter[0] == "add" else 1,
                       inner=[(nested[o].where, nested[o].trips) for o in inner],
                       trips=trip_count(blocks, insns, h, body, counter, amd), **rnd.__dict__)
        return done[h]

    return [m for m in (measure(h) for h in sorted(loops)) if m is not None]


# ---------------------------------------------------------------- the source's unroll


def source_unrolls(source):
    """{kernel: steps a round} from the .cl source, for kernels whose step loop moves on by a named
    count that a '#pragma unroll' loop inside runs through (for (t = 0; t < n; t += ROUND) with
    #pragma unroll for (r = 0; r < ROUND; ++r)), in the kernel or a function it calls."""
    text = re.sub(r"//[^\n]*|/\*.*?\*/", "", source, flags=re.S)
    defines = {m.group(1): int(m.group(2), 0)
               for m in re.finditer(r"^\s*#define\s+(\w+)\s+(0x[0-9a-fA-F]+|\d+)u?\s*$", text, re.M)}
    bodies = {}
    for m in re.finditer(r"\b(\w+)\s*\([^()]*\)\s*\{", text):
        if m.group(1) in ("if", "for", "while", "switch"):
            continue
        depth, i = 0, m.end() - 1
        while i < len(text):
            depth += {"{": 1, "}": -1}.get(text[i], 0)
            if depth == 0:
                break
            i += 1
        bodies.setdefault(m.group(1), text[m.end():i])
    kernels = re.findall(r"__kernel\s+void\s+(\w+)", text)
    out = {}
    for k in kernels:
        seen, work = set(), [k]
        while work:
            f = work.pop()
            if f in seen or f not in bodies:
                continue
            seen.add(f)
            work.extend(c for c in re.findall(r"\b(\w+)\s*\(", bodies[f]) if c in bodies)
        for f in seen:
            for m in re.finditer(r"for\s*\([^;]*;[^;]*;\s*\w+\s*\+=\s*(\w+)\s*\)", bodies[f]):
                name = m.group(1)
                n = defines.get(name, int(name) if name.isdigit() else 0)
                inner = re.search(r"#pragma\s+unroll\s*\n\s*for\s*\([^;]*;\s*\w+\s*<\s*" + re.escape(name) + r"\s*;",
                                  bodies[f][m.end():])
                if n > 1 and inner:
                    out[k] = n
    return out


def unroll_of(l, kernel, unrolls):
    """Steps a round of the counted loop, and how that was found: from its counter when it adds a
    step; else the source's unroll, when the round's products come in that many equal parts."""
    if l.counter and l.counter[0] == "add":
        return l.unroll, None
    n = unrolls.get(kernel)
    if n and l.products and l.products % n == 0:
        return n, (f"(no counter that adds a step: a round taken as the source's {n} steps, "
                   f"#pragma unroll, its {l.products} products {n} times a step's)")
    return l.unroll, None


def pick(loops):
    """The step loop: the loop with the most products a step. Before that, one without calls (a
    callee is not counted), then one that counts on by an added step, then one that we cannot read,
    and last one that halves its counter (it builds a power from an exponent's bits)."""
    if not loops:
        return None
    rank = {"add": 2, "bytes": 1, None: 1, "shift": 0}
    return max(loops, key=lambda l: (not l.calls, rank[l.counter[0] if l.counter else None],
                                     l.products / l.unroll, l.length / l.unroll, -l.order))


def notes(l):
    for where, trips in l.inner:
        print(f"{'':<14} (a round runs the loop {where} {trips} times)")
    if l.calls:
        print(f"{'':<14} (the loop calls a function {l.calls} time(s) a round: the callee is not counted)")


def num(x):
    return f"{x:.2f}".rstrip("0").rstrip(".")


def counter_text(l):
    """How the loop's exit counter moves a round: +1, -2, >>1, +8B (an address), ? (not read)."""
    if not l.counter:
        return "?"
    kind, n = l.counter
    if kind == "shift":
        return f">>{n}"
    return f"{'+' if n > 0 else ''}{n}" + ("B" if kind == "bytes" else "")


# ---------------------------------------------------------------- report


def nv_table(arch, sass, log, kernels, unrolls, group, verbose, problems):
    funcs = parse_sass(sass)
    res = parse_ptxas_log(log)
    a = NV_ARCH[arch]
    print(f"\n== {arch} ({a['name']}): {a['regs'] // 1024}K registers, {a['warps']} warps, {a['blocks']} blocks per SM; "
          f"work-group {group} ==")
    head = ("kernel", "loop (SASS)", "count", "unroll", "IMAD", "ALU", "ctrl", "other", "all", "prod", "regs",
            "spill", "stack", "warps/SM", "steps/clk/SM")
    fmt = "{:<14} {:<13} {:>5} {:>6} {:>5} {:>5} {:>5} {:>5} {:>5} {:>5} {:>4} {:>7} {:>5} {:>8} {:>12}"
    print(fmt.format(*head))
    figures = {}
    for k in kernels:
        if k not in funcs:
            problems.append(f"{arch}: no SASS for kernel {k}")
            continue
        r = res.get(k, dict(regs=0, stack=0, spill_st=0, spill_ld=0, smem=0))
        warps = nv_occupancy(arch, r["regs"], r["smem"], group)
        loops = analyse(funcs[k], False)
        l = pick(loops)
        spill = f"{r['spill_st']}/{r['spill_ld']}"
        if l is None:
            print(fmt.format(k, "no loop", "", "", "", "", "", "", "", "", r["regs"], spill, r["stack"], warps, ""))
            continue
        u, how = unroll_of(l, k, unrolls)
        c = {x: l.counts.get(x, 0) / u for x in ("imad", "alu", "ctrl", "other")}
        total = l.length / u
        rate = min(IMAD_PER_CLOCK / c["imad"] if c["imad"] else 1e9, ALU_PER_CLOCK / c["alu"] if c["alu"] else 1e9,
                   ISSUE_PER_CLOCK / total)
        print(fmt.format(k, l.where, counter_text(l), u, num(c["imad"]), num(c["alu"]), num(c["ctrl"]),
                         num(c["other"]), num(total), num(l.products / u), r["regs"], spill, r["stack"], warps,
                         f"{rate:.2f}"))
        notes(l)
        if how:
            print(f"{'':<14} {how}")
        suspect = k.startswith("walk") and not l.wide
        if suspect:
            problems.append(f"{arch} {k}: the counted loop {l.where} holds no IMAD.WIDE or IMAD.HI; mul_hi(ulong) "
                            f"did not become mul.hi.u64 (see bench/gpu-isa/prelude.h) or the wrong loop was taken")
        figures[k] = dict(all=total, rate=rate, warps=warps, regs=r["regs"], suspect=suspect)
        if verbose:
            for o in sorted(loops, key=lambda x: x.order):
                mark = "*" if o is l else " "
                print(f"   {mark} {o.where:<13} counter {counter_text(o):>5}  {o.length} instructions a round, "
                      f"{o.products} products, {o.wide} IMAD.WIDE/HI, {o.calls} calls")
    return figures


def amd_table(cpu, asm, kernels, unrolls, verbose, problems):
    funcs, info = parse_amd(asm)
    wave = 64 if cpu.startswith("gfx9") else 32
    print(f"\n== {cpu} ({AMD_ARCH.get(cpu, 'AMD')}, wave{wave}) ==")
    head = ("kernel", "loop (header)", "count", "unroll", "VALU", "v_mad", "v_mul", "SALU", "mem", "ctrl", "all",
            "prod", "VGPRs", "SGPRs", "scratch", "waves/SIMD")
    fmt = "{:<14} {:<13} {:>5} {:>6} {:>5} {:>5} {:>5} {:>5} {:>5} {:>5} {:>5} {:>5} {:>5} {:>5} {:>7} {:>10}"
    print(fmt.format(*head))
    figures = {}
    for k in kernels:
        if k not in funcs:
            problems.append(f"{cpu}: no assembly for kernel {k}")
            continue
        i = info.get(k, {})
        vgprs = i.get("TotalNumVgprs", i.get("NumVgprs", 0))
        res = (vgprs, i.get("NumSgprs", 0), i.get("ScratchSize", 0), i.get("Occupancy", "?"))
        loops = analyse(funcs[k], True)
        l = pick(loops)
        if l is None:
            print(fmt.format(k, "no loop", *([""] * 10), *res))
            continue
        u, how = unroll_of(l, k, unrolls)
        c = {x: l.counts.get(x, 0) / u for x in ("valu", "v_mad", "v_mul", "salu", "mem", "ctrl")}
        print(fmt.format(k, l.where, counter_text(l), u, *(num(c[x]) for x in c), num(l.length / u),
                         num(l.products / u), *res))
        notes(l)
        if how:
            print(f"{'':<14} {how}")
        figures[k] = dict(valu=c["valu"], all=l.length / u)
        if verbose:
            for o in sorted(loops, key=lambda x: x.order):
                mark = "*" if o is l else " "
                print(f"   {mark} {o.where:<13} counter {counter_text(o):>5}  {o.length} instructions a round, "
                      f"{o.products} products")
    return figures


def summary(nv, amd):
    walks = sorted({k for f in nv.values() for k in f if k.startswith("walk")} |
                   {k for f in amd.values() for k in f if k.startswith("walk")})
    if walks:
        print("\n== walk kernels: instructions a step ==")
    for k in walks:
        group, ref_group = WALK_GROUPS.get(k, (None, "wide"))
        arches = [a for a in nv if k in nv[a]]
        parts = []
        if arches:
            parts.append(" / ".join(num(nv[a][k]["all"]) for a in arches) + " on " + " / ".join(arches))
            parts.append(" / ".join(f"{nv[a][k]['rate']:.2f}" for a in arches) + " steps per clock per SM")
        goals = TARGETS.get(group, {})
        verdicts = []
        for a, t in goals.items():
            if a in nv and k in nv[a]:
                got = nv[a][k]["all"]
                verdicts.append(f"{a} <= {t}: " + ("not to be trusted" if nv[a][k]["suspect"] else
                                                   "met" if got <= t else f"{num(got - t)} over"))
        if verdicts:
            what = "target" if group == "walk64" else "target of the wide walk below 2^80"
            parts.append(what + " " + ", ".join(verdicts))
        ref_name, ref = REFERENCE[ref_group]
        ref_arches = [a for a in arches if a in ref]
        if ref_arches:
            parts.append(ref_name + " " + " / ".join(num(ref[a]) for a in ref_arches))
        for cpu, f in amd.items():
            if k in f:
                parts.append(f"{cpu} {num(f[k]['valu'])} VALU of {num(f[k]['all'])}")
        print(f"{k}: " + "; ".join(parts))


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--source", required=True, help="the .cl file: its kernels, in its order")
    ap.add_argument("--group", type=int, default=64, help="work-group size the host launches with")
    ap.add_argument("--verbose", action="store_true", help="list every innermost loop, the counted one starred")
    ap.add_argument("inputs", nargs="+", help="nv:ARCH:SASS:PTXAS_LOG or amd:CPU:ASM")
    args = ap.parse_args()
    with open(args.source) as f:
        source = f.read()
    kernels = list(dict.fromkeys(re.findall(r"__kernel\s+void\s+(\w+)", source)))
    unrolls = source_unrolls(source)
    problems, nv, amd = [], {}, {}
    for target in args.inputs:
        parts = target.split(":")
        if parts[0] == "nv" and len(parts) == 4:
            with open(parts[2]) as s, open(parts[3]) as g:
                nv[parts[1]] = nv_table(parts[1], s.read(), g.read(), kernels, unrolls, args.group, args.verbose,
                                        problems)
        elif parts[0] == "amd" and len(parts) == 3:
            with open(parts[2]) as s:
                amd[parts[1]] = amd_table(parts[1], s.read(), kernels, unrolls, args.verbose, problems)
        else:
            ap.error(f"not nv:ARCH:SASS:LOG or amd:CPU:ASM: {target}")
    summary(nv, amd)
    for p in problems:
        print(f"gpu-isa: {p}", file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
