import logging

import pytest

from korvane.logger import get_logger


@pytest.mark.parametrize(
    ("value", "level"),
    [
        (None, logging.WARNING),
        ("debug", logging.DEBUG),
        ("INFO", logging.INFO),
        ("warn", logging.WARNING),
        ("15", 15),
    ],
)
def test_level_comes_from_the_environment_on_every_call(monkeypatch, value, level):
    monkeypatch.setenv("KORVANE_LOG_LEVEL", "ERROR")
    assert get_logger().level == logging.ERROR
    if value is None:
        monkeypatch.delenv("KORVANE_LOG_LEVEL")
    else:
        monkeypatch.setenv("KORVANE_LOG_LEVEL", value)
    assert get_logger().level == level


def test_one_handler_prints_level_and_message_to_stderr(monkeypatch, capsys, caplog):
    monkeypatch.setenv("KORVANE_LOG_LEVEL", "INFO")
    get_logger()
    get_logger().info("new factories: ['a']")
    get_logger().debug("not shown")
    assert capsys.readouterr().err == "INFO: new factories: ['a']\n"
    assert caplog.messages == ["new factories: ['a']"]


def test_an_unknown_level_is_a_clear_error(monkeypatch):
    monkeypatch.setenv("KORVANE_LOG_LEVEL", "loud")
    with pytest.raises(ValueError, match="KORVANE_LOG_LEVEL='loud' is not a log level"):
        get_logger()


def test_the_logger_is_the_one_logging_hands_out(monkeypatch):
    # Before the product logger exists, a child logger leaves a placeholder
    # under its name; the product logger must still be the real one.
    monkeypatch.setattr(logging.Logger.manager, "loggerDict", {})
    logging.getLogger("korvane.child")
    logger = get_logger()
    assert type(logger) is logging.Logger
    assert logger is logging.getLogger("korvane") is get_logger()
    assert logging.getLogger("korvane.child").parent is logger


def test_a_removed_handler_is_attached_again_and_never_twice():
    logger = get_logger()
    ours = [h for h in logger.handlers if h.get_name() == "korvane.stderr"]
    assert len(ours) == 1
    logger.removeHandler(ours[0])
    try:
        get_logger()
        get_logger()
        again = [h for h in logger.handlers if h.get_name() == "korvane.stderr"]
        assert len(again) == 1 and again[0] is not ours[0]
    finally:
        for handler in [h for h in logger.handlers if h.get_name() == "korvane.stderr"]:
            logger.removeHandler(handler)
        logger.addHandler(ours[0])
