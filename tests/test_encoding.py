"""Column encoding records: EncodingType, EncodedColumnInfo and Encoder."""

import operator

import pytest

from _tallyfit import EncodedColumnInfo, Encoder, EncodingType

TYPES = [("Dummy", 0), ("OneHot", 1), ("Bool", 2), ("Numeric", 3)]


def numeric_info(levels=None):
    return EncodedColumnInfo(levels, EncodingType.Numeric)


def summary(info):
    return info.levels, info.encoding_type.name


@pytest.mark.parametrize("name, value", TYPES)
def test_encoding_type_values(name, value):
    member = getattr(EncodingType, name)
    assert type(member) is EncodingType
    assert member is getattr(EncodingType, name)
    assert member.name == name
    assert repr(member) == "EncodingType." + name
    assert int(member) == value
    assert member == EncodedColumnInfo(None, member).encoding_type
    assert not member != getattr(EncodingType, name)
    assert member != value and not member == value
    assert member.__eq__(value) is NotImplemented
    for other, _ in TYPES:
        assert (member == getattr(EncodingType, other)) is (other == name)


@pytest.mark.parametrize("compare", [operator.lt, operator.le, operator.gt, operator.ge])
@pytest.mark.parametrize("other", [EncodingType.Bool, 1])
def test_encoding_type_has_no_ordering(compare, other):
    with pytest.raises(TypeError):
        compare(EncodingType.OneHot, other)


def test_encoding_type_is_unhashable():
    with pytest.raises(TypeError):
        hash(EncodingType.Dummy)
    with pytest.raises(TypeError):
        {EncodingType.Dummy}


def test_encoding_type_has_no_constructor():
    with pytest.raises(TypeError) as caught:
        EncodingType()
    assert str(caught.value) == "No constructor defined for EncodingType"


def test_encoding_type_class_attributes_in_order():
    names = [name for name, value in vars(EncodingType).items()
             if isinstance(value, EncodingType)]
    assert names == [name for name, _ in TYPES]


@pytest.mark.parametrize(
    "levels, stored",
    [(None, None), ([], []), (["b", "a", "b"], ["b", "a", "b"]), (("x", "é"), ["x", "é"])],
)
def test_column_info_levels(levels, stored):
    info = EncodedColumnInfo(levels=levels, encoding_type=EncodingType.Dummy)
    assert info.levels == stored
    assert stored is None or type(info.levels) is list
    assert info.encoding_type == EncodingType.Dummy


def test_column_info_copies_levels():
    levels = ["a", "b"]
    info = EncodedColumnInfo(levels, EncodingType.OneHot)
    levels.append("c")
    info.levels.append("d")
    assert info.levels == ["a", "b"]


@pytest.mark.parametrize(
    "args, argument",
    [
        (("ab", EncodingType.Dummy), "levels"),
        (([1], EncodingType.Dummy), "levels"),
        ((["a", None], EncodingType.Dummy), "levels"),
        ((7, EncodingType.Dummy), "levels"),
        ((None, 0), "encoding_type"),
        ((None, "Dummy"), "encoding_type"),
        ((None, None), "encoding_type"),
    ],
)
def test_column_info_argument_errors(args, argument):
    with pytest.raises(TypeError, match=rf"^argument '{argument}': "):
        EncodedColumnInfo(*args)


@pytest.mark.parametrize("attribute", ["levels", "encoding_type", "other"])
def test_column_info_is_read_only(attribute):
    with pytest.raises(AttributeError):
        setattr(numeric_info(), attribute, None)


def test_encoder_add_get_and_replace():
    encoder = Encoder()
    assert encoder.column_mappings == {}
    assert encoder.add_column_mapping("a", numeric_info()) is None
    encoder.add_column_mapping(col_name="b", col_info=EncodedColumnInfo(["x"], EncodingType.Dummy))
    encoder.add_column_mapping("a", EncodedColumnInfo(["p", "q"], EncodingType.OneHot))
    assert summary(encoder.get_column_mapping("a")) == (["p", "q"], "OneHot")
    assert summary(encoder.get_column_mapping(col_name="b")) == (["x"], "Dummy")
    assert {name: summary(info) for name, info in encoder.column_mappings.items()} == {
        "a": (["p", "q"], "OneHot"), "b": (["x"], "Dummy")}
    assert encoder.get_column_mapping("A") is None
    assert encoder.get_column_mapping("") is None


def test_encoder_returns_copies():
    encoder = Encoder()
    info = EncodedColumnInfo(["x"], EncodingType.Dummy)
    encoder.add_column_mapping("a", info)
    assert encoder.get_column_mapping("a") is not info
    assert encoder.get_column_mapping("a") is not encoder.get_column_mapping("a")
    mappings = encoder.column_mappings
    mappings["z"] = info
    del mappings["a"]
    assert list(encoder.column_mappings) == ["a"]


def test_column_mappings_setter_replaces_everything():
    encoder = Encoder()
    encoder.add_column_mapping("old", numeric_info())
    new = {"a": EncodedColumnInfo(["l"], EncodingType.Bool), "b": numeric_info()}
    encoder.column_mappings = new
    new["c"] = numeric_info()
    assert sorted(encoder.column_mappings) == ["a", "b"]
    assert encoder.get_column_mapping("old") is None
    assert summary(encoder.get_column_mapping("a")) == (["l"], "Bool")
    encoder.column_mappings = {}
    assert encoder.column_mappings == {}


@pytest.mark.parametrize(
    "value",
    [None, "a", [("a", numeric_info())], {1: numeric_info()}, {"a": 1}, {"a": None},
     {"a": EncodingType.Dummy}, {"a": numeric_info(), 2: numeric_info()}],
)
def test_column_mappings_setter_refuses_bad_values(value):
    encoder = Encoder()
    encoder.add_column_mapping("kept", numeric_info(["kept"]))
    with pytest.raises(TypeError, match=r"^argument 'mappings': "):
        encoder.column_mappings = value
    assert list(encoder.column_mappings) == ["kept"]
    assert encoder.get_column_mapping("kept").levels == ["kept"]


def test_column_mappings_cannot_be_deleted():
    encoder = Encoder()
    with pytest.raises(AttributeError) as caught:
        del encoder.column_mappings
    assert str(caught.value) == "can't delete attribute"


@pytest.mark.parametrize(
    "call, argument",
    [
        (lambda e: e.add_column_mapping(1, numeric_info()), "col_name"),
        (lambda e: e.add_column_mapping("a", None), "col_info"),
        (lambda e: e.add_column_mapping("a", EncodingType.Dummy), "col_info"),
        (lambda e: e.get_column_mapping(None), "col_name"),
        (lambda e: e.get_column_mapping(b"a"), "col_name"),
    ],
)
def test_encoder_argument_errors(call, argument):
    encoder = Encoder()
    with pytest.raises(TypeError, match=rf"^argument '{argument}': "):
        call(encoder)
    assert encoder.column_mappings == {}


@pytest.mark.parametrize(
    "obj, doc, signature",
    [
        (EncodingType, "Enum to represent the type of encoding used for variables.", None),
        (EncodedColumnInfo, "\n".join([
            "Holds information about how a column is encoded.",
            "",
            "Fields:",
            "- levels: The (optional) vector holding all encoded levels. ",
            "- encoding_type: The type of encoding used.",
            "",
            "Methods:",
        ]), "(levels, encoding_type)"),
        (Encoder, "\n".join([
            "A struct that holds data on hhow columns are encoded during the modeling process.",
            "",
            "Attributes:",
            "- `column_mappings`: A mapping of column name to info on the encoding",
        ]), "()"),
        (Encoder.add_column_mapping, "\n".join([
            "Adds a single column and its encoding info to the mapping.",
            "",
            "Args:",
            "- `col_name` (String): The name of the column to add.",
            "- `col_info` (EncodedColumnInfo): The encoding information for that column.",
        ]), "($self, col_name, col_info)"),
        (Encoder.get_column_mapping, "\n".join([
            "Gets the encoding info for a single column.",
            "",
            "Args:",
            "- `col_name` (String): The name of the column to retrieve.",
            "",
            "Returns:",
            "- EncodedColumnInfo | None: The encoding information for the column,",
            "        or None if the column is not found in the mapping.",
        ]), "($self, col_name)"),
    ],
)
def test_docstrings_and_signatures(obj, doc, signature):
    assert obj.__doc__ == doc
    if signature is not None:
        assert obj.__text_signature__ == signature


@pytest.mark.parametrize("cls", [EncodingType, EncodedColumnInfo, Encoder])
def test_module_is_builtins(cls):
    assert cls.__module__ == "builtins"
