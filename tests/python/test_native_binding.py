"""The native modules bind arguments as Python functions do, and say which interpreters may load them."""

import sys

import pytest

from vesker import engine


@pytest.mark.parametrize(
    ("call", "message"),
    [
        (lambda store: store.why(id=1),
         "Store.why() got some positional-only arguments passed as keyword arguments: 'id'"),
        (lambda store: store.top_retained("T", 0, 1, 2),
         "Store.top_retained() takes from 0 to 3 positional arguments but 4 were given"),
        (lambda store: store.waste(5, None), "Store.waste() takes from 0 to 1 positional arguments but 2 were given"),
        (lambda store: store.edge_order(1, "references"),
         "Store.edge_order() missing 3 required positional arguments: 'order', 'descending', and 'type'"),
        (lambda store: store.suspects(cancel=object()), "cancel must be a Cancellation or None, not object"),
        (lambda store: store.dominator_tree(None, (), "many"),
         "argument 'limit': 'str' object cannot be interpreted as an integer"),
        (lambda store: engine.diff(store, store, site_ids=b""), "diff: site_ids and sites go together"),
    ],
)
def test_engine_binds_optional_keyword_only_and_positional_only_parameters(store_dir, call, message):
    with engine.Store(store_dir) as store, pytest.raises(TypeError) as caught:
        call(store)
    assert str(caught.value) == message


@pytest.mark.skipif(sys.version_info < (3, 13), reason="the native walker is built for 3.13 and later")
def test_walker_loads_in_an_isolated_interpreter_and_the_engine_refuses_to():
    interpreters = pytest.importorskip("_interpreters")
    interpreter = interpreters.create("isolated")
    try:
        loaded = "from vesker import _walker; assert _walker.managed_dict(1) is None"
        assert interpreters.run_string(interpreter, loaded) is None
        refused = interpreters.run_string(interpreter, "from vesker import engine")
        assert refused is not None and refused.type.__name__ == "ImportError"
    finally:
        interpreters.destroy(interpreter)


def test_engine_records_are_immutable_and_plain_makes_them_dicts_at_any_depth():
    from vesker.plain import plain

    row = engine.ObjectRow((7, None, None, None, None, "missing"))
    with pytest.raises(AttributeError):
        row.id = 8
    found = engine.TolerantObject((1, "T", None, 8, None, "present", [row], []))
    assert plain({"found": found, "pair": (1, 2)}) == {
        "found": {"id": 1, "type": "T", "value": None, "size": 8, "subtree_size": None, "state": "present",
                  "references": [{"id": 7, "type": None, "value": None, "size": None, "subtree_size": None,
                                  "state": "missing"}], "referrers": []},
        "pair": (1, 2)}
    assert list(plain(found)) == list(engine.TolerantObject.__match_args__)
