"""The life cycle of Python callbacks, explored by hypothesis against a
model: creating (with and without force), removing, deleting and
redefining from Tcl, calling (with the wrong number of words too), failing
callbacks and callbacks that evaluate Tcl themselves."""
import itertools

import pytest
from hypothesis import settings, strategies as st
from hypothesis.stateful import RuleBasedStateMachine, invariant, precondition, rule

from tarvo.tcl.interpreter import Interpreter, TclError

NAMES = ["a", "b", "ns::c"]
BEHAVIOURS = ["return", "raise", "nested"]


def qualified(name):
    return "::" + name


class CallbackLifeCycle(RuleBasedStateMachine):
    def __init__(self):
        super().__init__()
        self.tcl = Interpreter()
        self.tcl.eval("namespace eval ns {}")
        self.tokens = itertools.count()
        self.commands = {}  # name -> (kind, behaviour, token): what Tcl runs under the name
        self.backups = {}  # name -> what a forced creation moved aside
        self.registry = set()  # names in __callbacks__

    def make_callback(self, behaviour, token):
        tcl = self.tcl

        def callback():
            if behaviour == "raise":
                raise ValueError(token)
            if behaviour == "nested":
                return tcl.eval(f"set ::nested {token}")
            return token

        return callback

    @rule(name=st.sampled_from(NAMES), behaviour=st.sampled_from(BEHAVIOURS), force=st.booleans())
    def create(self, name, behaviour, force):
        token = f"t{next(self.tokens)}"
        callback = self.make_callback(behaviour, token)
        if name in self.commands and not force:
            with pytest.raises(ValueError, match="command already exists"):
                self.tcl.create_callback(callback, cmd_name=name, force=False)
            return
        if name in self.commands and name in self.backups:
            return  # the backup name is taken: Tcl refuses the rename, as documented
        command = self.tcl.create_callback(callback, cmd_name=name, force=force)
        assert str(command) == qualified(name)
        if name in self.commands:
            self.backups[name] = self.commands[name]
        self.commands[name] = ("callback", behaviour, token)
        self.registry.add(name)

    @rule(name=st.sampled_from(NAMES))
    def remove(self, name):
        if name not in self.registry:
            with pytest.raises(ValueError, match="No callback in this interpreter"):
                self.tcl.remove_callback(name)
            return
        if name not in self.commands:
            with pytest.raises(TclError):  # deleted from Tcl meanwhile
                self.tcl.remove_callback(name)
            return
        restored = self.tcl.remove_callback(name)
        self.registry.discard(name)
        if name in self.backups:
            assert str(restored) == qualified(name)
            self.commands[name] = self.backups.pop(name)
        else:
            assert restored is None
            del self.commands[name]

    @precondition(lambda self: self.commands)
    @rule(data=st.data())
    def delete_from_tcl(self, data):
        name = data.draw(st.sampled_from(sorted(self.commands)))
        self.tcl.eval(f"rename {name} {{}}")
        del self.commands[name]

    @rule(name=st.sampled_from(NAMES))
    def define_in_tcl(self, name):
        token = f"t{next(self.tokens)}"
        self.tcl.eval(f"proc {name} {{}} {{return {token}}}")
        self.commands[name] = ("proc", "return", token)

    @rule(name=st.sampled_from(NAMES), wrong_arity=st.booleans())
    def call(self, name, wrong_arity):
        script = f"{name} extra" if wrong_arity else name
        if name not in self.commands:
            with pytest.raises(TclError, match="invalid command name"):
                self.tcl.eval(script)
            return
        kind, behaviour, token = self.commands[name]
        if wrong_arity:
            with pytest.raises(TclError) as info:
                self.tcl.eval(script)
            expected = ("PYTHON", "TypeError") if kind == "callback" else ("TCL", "WRONGARGS")
            assert info.value.errorcode == expected
        elif behaviour == "raise":
            with pytest.raises(TclError) as info:
                self.tcl.eval(f"catch {{{script}}} msg opts; return -options $opts $msg")
            assert (info.value.message, info.value.errorcode) == (f"ValueError: {token}", ("PYTHON", "ValueError"))
        else:
            assert self.tcl.eval(script) == token

    @invariant()
    def registry_and_commands_match_the_model(self):
        assert set(self.tcl.__callbacks__) == {qualified(n) for n in self.registry}
        for name in NAMES:
            assert self.tcl.eval(f"namespace which -command {name}") == (qualified(name) if name in self.commands else "")

    def teardown(self):
        for name in list(self.registry):
            try:
                self.tcl.remove_callback(name)
            except TclError:
                pass


CallbackLifeCycle.TestCase.settings = settings(max_examples=40, stateful_step_count=25, deadline=None)
test_callback_life_cycle = CallbackLifeCycle.TestCase
