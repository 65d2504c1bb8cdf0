import gc
import tkinter
import weakref

import pytest
from hypothesis import given, settings, strategies as st

from tarvo.tcl.array import Array
from tarvo.tcl.namespace import TclCommand, TclNamespace, TclVariableError, _tcl_quote


@pytest.fixture
def tcl():
    return tkinter.Tk(useTk=0)


# Pieces that matter to the Tcl parser, list syntax or string conversion;
# "[boom]" would raise if command substitution ever ran.  Any character but a
# lone surrogate, which tkinter refuses to hand to Tcl (UnicodeEncodeError).
_NASTY = st.lists(
    st.sampled_from(list(' []$;"{}\\\n\r\t\0\x01\x7f(#:*?17é€\U0001F600') + ['[boom]', '$x', '\\\n', '\\0', 'a'])
    | st.characters(codec='utf-8')
).map(''.join)


@settings(max_examples=300, deadline=None, database=None)
@given(_NASTY)
def test_quote_is_exact_and_never_substitutes(text):
    interp = tkinter.Tk(useTk=0)
    interp.tk.eval('proc boom args {error boom}')
    assert interp.tk.eval('string map {\\0 \\0} [format %s ' + _tcl_quote(text) + ']') == text


@settings(max_examples=200, deadline=None, database=None)
@given(name=_NASTY.filter(lambda s: '\0' not in s and not s.startswith(':')), value=_NASTY)
def test_variables_set_by_tkinter_read_back(name, value):
    interp = tkinter.Tk(useTk=0)
    try:
        interp.tk.call('set', '::' + name, value)
    except tkinter.TclError:
        return  # e.g. "a::b" without a namespace "a"
    interp.tk.eval('proc boom args {error boom}')
    for ns, key in ((None, name), (None, '::' + name), ('::', name)):
        vars = TclNamespace(ns, tcl=interp).vars
        assert vars[key] == value
        assert key in vars


@pytest.mark.parametrize('script, name, text', [
    ('set v [list 1 {a b} 2.5]', 'v', '1 {a b} 2.5'),
    ('set v 1.0; set v [expr {$v * 2}]', 'v', '2.0'),
    ('set v 0x10; expr {$v + 0}', 'v', '0x10'),
    ('set v(a\\ b) x; set v(c) y', 'v(a b)', 'x'),
    ('set v [format a%cb 0]', 'v', 'a\0b'),
])
def test_reads_give_tcl_text(tcl, script, name, text):
    tcl.tk.eval(script)
    assert TclNamespace('::', tcl=tcl).vars[name] == text


@pytest.mark.parametrize('name', ['missing', 'arr'])
def test_unreadable_variable_error(tcl, name):
    tcl.tk.eval('set arr(x) 1')
    vars = TclNamespace('::', tcl=tcl).vars
    with pytest.raises(TclVariableError) as info:
        vars[name]
    assert isinstance(info.value, KeyError) and isinstance(info.value, tkinter.TclError)
    assert str(info.value).startswith(f'can\'t read "::{name}"')
    assert vars.get(name) is None
    assert ('arr' in vars, 'missing' in vars) == (True, False)
    with pytest.raises(TclVariableError):
        del vars['missing']


@pytest.mark.parametrize('value, text', [(0, '0'), (1, '1'), ('a b', 'a b'), ((), ''),
                                         (('a', 'b c', ''), 'a {b c} {}'), ('x\0y', 'x\0y')])
def test_write_then_read(tcl, value, text):
    vars = TclNamespace('ns', tcl=tcl).vars
    tcl.tk.eval('namespace eval ::ns {}')
    vars['v'] = value
    assert tcl.tk.eval('string map {\\0 \\0} [set ::ns::v]') == vars['v'] == text
    assert list(vars) == ['v'] and len(vars) == 1
    del vars['v']
    assert 'v' not in vars


@pytest.mark.parametrize('ns, name, qualified', [
    ('::', 'x', '::x'), ('::ns', 'x', '::ns::x'), ('ns', 'a::b', '::ns::a::b'),
    ('::ns::', '::x', '::x'), (None, 'x', 'x'), ('a*b', 'x', '::a*b::x'),
])
def test_name_resolution(tcl, ns, name, qualified):
    tcl.tk.eval('namespace eval ::ns::a {}; namespace eval {::a*b} {}')
    TclNamespace(ns, tcl=tcl).vars[name] = 'v'
    assert tcl.tk.call('info', 'exists', qualified)


def test_unqualified_access_uses_current_frame(tcl):
    local = TclNamespace(None, tcl=tcl)
    seen = {}

    def callback():
        seen['read'] = local.vars['x']
        local.vars['y'] = 'set from python'
        seen['cmd'] = str(local.cmds['helper'])
        seen['names'] = sorted(local.vars)

    tcl.tk.createcommand('callback', callback)
    tcl.tk.eval('namespace eval ::q { proc p {} { set x local; callback; return $y } }')
    assert tcl.tk.eval('::q::p') == 'set from python'
    assert seen == {'read': 'local', 'cmd': '::q::helper', 'names': ['x', 'y']}
    assert 'y' not in local.vars


def test_arrays(tcl):
    vars = TclNamespace('::', tcl=tcl).vars
    vars.array_set('a', Array({'k (1)': 'x y', 'e': ()}))
    vars.array_set('a', {2: ('p', 'q r')})
    assert vars.array_get('a') == {'k (1)': 'x y', 'e': '', '2': 'p {q r}'}
    assert type(vars.array_get('a')) is Array
    vars.array_set('empty', {})
    assert tcl.tk.eval('array exists empty') == '1'
    vars['s'] = 1
    for name in ('s', 'missing'):
        with pytest.raises(TclVariableError, match=f'"{name}"'):
            vars.array_get(name)
    with pytest.raises(tkinter.TclError):
        vars.array_set('s', {'k': 1})
    with pytest.raises(TypeError):
        vars.array_set('a', {1.5: 'x'})
    with pytest.raises(ValueError):  # tkinter would pass it as a different name
        vars['a\0b'] = 1


def test_namespace_does_not_keep_interpreter_alive():
    class Interp(tkinter.Tk):
        pass

    gc.disable()
    try:
        interp = Interp(useTk=0)
        interp.globals = TclNamespace('::', tcl=interp)
        interp.local = TclNamespace(None, tcl=interp)
        interp.cmd = interp.globals.cmds['puts']
        ref = weakref.ref(interp)
        del interp
        assert ref() is None
    finally:
        gc.enable()


def test_children(tcl):
    tcl.tk.eval('namespace eval ::p::c1 {}; namespace eval ::p::c2 {}')
    objs = TclNamespace('p', tcl=tcl).objs
    assert sorted(objs) == ['c1', 'c2']
    assert objs['c1'] == TclNamespace('::p::c1', tcl=tcl)
    with pytest.raises(KeyError):
        objs['c3']


@pytest.mark.parametrize('name', ['a*', 'a?', 'x[1]', 'b\\c', 'a'])
def test_command_exists_is_exact(tcl, name):
    tcl.tk.call('proc', '::' + name, '', '')
    for other in ('a*', 'a?', 'x[1]', 'b\\c', 'a', 'ab', 'x1'):
        assert TclCommand(other, tcl=tcl).exists() == (other == name)


def test_command_exists_elsewhere(tcl):
    tcl.tk.eval('namespace eval ::zz {}')
    assert TclCommand('puts', tcl=tcl).exists()
    assert not TclCommand('::zz::puts', tcl=tcl).exists()
    assert not TclCommand('::nowhere::puts', tcl=tcl).exists()


def test_command_lifecycle(tcl):
    cmd = TclNamespace('::', tcl=tcl).cmds['puts']
    assert str(cmd) == '::puts' and cmd == TclCommand('puts', tcl=tcl)
    assert cmd.rename('::brindle::_cbBkup::puts') is None
    assert str(cmd) == '::brindle::_cbBkup::puts' and cmd.exists()
    assert not TclCommand('::puts', tcl=tcl).exists()

    new = TclCommand('::puts', tcl=tcl)
    new.createcommand(lambda *words: '|'.join(words))
    assert tcl.tk.eval('puts a {b c}') == 'a|b c'
    assert {cmd: 1, new: 2}[TclCommand('::puts', tcl=tcl)] == 2
    new.delete()
    assert not new.exists()
    with pytest.raises(tkinter.TclError):
        new.delete()


def test_failed_rename_leaves_no_namespace(tcl):
    with pytest.raises(tkinter.TclError):
        TclCommand('::missing', tcl=tcl).rename('::fresh::ns::missing')
    assert tcl.tk.eval('namespace exists ::fresh') == '0'
