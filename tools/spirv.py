"""Reading SPIR-V modules word by word: their instructions, decorations and Input variables.

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
