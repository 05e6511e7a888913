"""Reading SPIR-V modules word by word: their instructions, decorations, Input variables and the
traits that known driver crashes depend on.

The tools need a few facts of a module (what a known driver crash depends on, what a mutation
changed), never a full parse: the reader follows the word counts as far as they hold and stops
quietly where they do not, so any bytes at all can be read.
"""
import struct

MAGIC = 0x07230203
OP_VARIABLE, OP_DECORATE, OP_MEMBER_DECORATE = 59, 71, 72
BLOCK, BUILT_IN, LOCATION, COMPONENT, INDEX = 2, 11, 30, 31, 32
STORAGE_INPUT = 1


def words_of(module):
    """The module's little-endian 32-bit words; a trailing partial word is dropped."""
    return list(struct.unpack("<%dI" % (len(module) // 4), module[:len(module) // 4 * 4]))


def is_module(data):
    """Whether data starts like a SPIR-V module: the magic word and a whole header."""
    return len(data) >= 20 and words_of(data[:4])[0] == MAGIC


def instructions(words):
    """(offset, word count, opcode) of every instruction after the five header words, as far as
    the word counts can be followed."""
    found, i = [], 5
    while i < len(words):
        count, opcode = words[i] >> 16, words[i] & 0xFFFF
        if count == 0 or i + count > len(words):
            break
        found.append((i, count, opcode))
        i += count
    return found


def decorations(module):
    """(opcode, target id, decoration, literals...) of every OpDecorate and OpMemberDecorate (the
    member's number dropped)."""
    words, found = words_of(module), []
    for i, count, opcode in instructions(words):
        if opcode == OP_DECORATE and count >= 3:
            found.append((opcode,) + tuple(words[i + 1:i + count]))
        elif opcode == OP_MEMBER_DECORATE and count >= 4:
            found.append((opcode, words[i + 1]) + tuple(words[i + 3:i + count]))
    return found


def literal(found, decoration):
    """The literal of every OpDecorate of this kind with one."""
    return [d[3] for d in found if d[0] == OP_DECORATE and d[2] == decoration and len(d) == 4]


def input_variables(module):
    """How many variables the module declares in the Input storage class (user varyings, blocks
    and built-ins such as gl_FragCoord alike), or None when it is no SPIR-V module."""
    if not is_module(module):
        return None
    words = words_of(module)
    return sum(1 for i, count, opcode in instructions(words)
               if opcode == OP_VARIABLE and count >= 4 and words[i + 3] == STORAGE_INPUT)


def index_above_one(module):
    """A fragment output decorated Index 2 or more: dual-source blending has only 0 and 1."""
    return any(value > 1 for value in literal(decorations(module), INDEX))


def index_without_location(module):
    found = decorations(module)
    placed = {d[1] for d in found if d[0] == OP_DECORATE and d[2] == LOCATION}
    return any(d[1] not in placed for d in found if d[0] == OP_DECORATE and d[2] == INDEX)


def location_from_4096(module):
    return any(value >= 4096 for value in literal(decorations(module), LOCATION))


def schema_word_not_zero(module):
    """The header's fifth word is reserved and must be 0; the validator does not look at it."""
    return is_module(module) and words_of(module)[4] != 0


def block_without_built_ins_or_locations(module):
    """A Block (gl_PerVertex, say) none of whose members is a built-in or has a Location."""
    found = decorations(module)
    placed = {d[1] for d in found if d[0] == OP_MEMBER_DECORATE and d[2] in (BUILT_IN, LOCATION)}
    return any(d[1] not in placed for d in found if d[0] == OP_DECORATE and d[2] == BLOCK)


# The traits a report records for each module, by name: what known driver crashes depend on.
TRAITS = {
    "index-above-one": index_above_one,
    "index-without-location": index_without_location,
    "location-from-4096": location_from_4096,
    "schema-word-not-zero": schema_word_not_zero,
    "block-without-built-ins-or-locations": block_without_built_ins_or_locations,
}


def traits(module):
    """The names of the TRAITS the module has, in TRAITS' order; None when it is no module."""
    if not is_module(module):
        return None
    return [name for name, holds in TRAITS.items() if holds(module)]
