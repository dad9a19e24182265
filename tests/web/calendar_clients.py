#!/usr/bin/python3
"""Debian's iCalendar and CalDAV clients against a running server's calendars.

    calendar_clients.py WEB-PORT PROTOCOL-PORT FEED-KEY MERIVO-CLIENT

The server has the group "Office" with the user at 127.0.0.2 and the given feed key; its data
file holds days from today on. Every check that fails is printed; the exit status is the number
of failures.
"""
import datetime
import subprocess
import sys

import caldav
import icalendar
import requests
from requests.adapters import HTTPAdapter

web_port, protocol_port, feed_key, client_program = sys.argv[1:5]
base = "http://127.0.0.1:%s" % web_port
failures = []


def check(condition, what):
    if not condition:
        failures.append(what)
        print("FAILED:", what)


class FromAddress(HTTPAdapter):
    """Connections that leave from one loopback address: the caller the server identifies."""

    def __init__(self, address):
        self.address = address
        super().__init__()

    def init_poolmanager(self, *args, **kwargs):
        kwargs["source_address"] = (self.address, 0)
        super().init_poolmanager(*args, **kwargs)


def session_from(address):
    session = requests.Session()
    session.mount("http://", FromAddress(address))
    return session


def parsed_events(text):
    calendar = icalendar.Calendar.from_ical(text)
    check(not calendar.walk("VTIMEZONE"), "no VTIMEZONE in a calendar")
    return calendar.walk("VEVENT")


today = datetime.date.today().isoformat()

# The feed key opens the .ics from any address; the calendar URL does not.
stranger = session_from("127.0.0.9")
feed = stranger.get("%s/feeds/%s.ics" % (base, feed_key))
check(feed.status_code == 200, "feed by key: %d" % feed.status_code)
check(feed.headers.get("Content-Type") == "text/calendar; charset=utf-8", "feed content type")
feed_events = parsed_events(feed.content)
check(any(str(e["SUMMARY"]) == "Team meeting at 10" for e in feed_events), "the titled day in the feed")
check(stranger.get("%s/calendars/Office.ics" % base).status_code == 403, "403 for an unknown address")
check(stranger.request("PROPFIND", base + "/", headers={"Depth": "0"}).status_code == 403,
      "403 CalDAV for an unknown address")
unchanged = stranger.get("%s/feeds/%s.ics" % (base, feed_key),
                         headers={"If-None-Match": feed.headers["ETag"]})
check(unchanged.status_code == 304, "304 for a current ETag")

# Anna's CalDAV client finds her calendar from the server's root URL alone.
client = caldav.DAVClient(url=base + "/")
client.session.mount("http://", FromAddress("127.0.0.2"))
principal = client.principal()
calendars = principal.calendars()
check([c.name for c in calendars] == ["Office"], "one calendar, Office: %s" % [c.name for c in calendars])
office = calendars[0]
events = office.events()
summaries = sorted(str(e.icalendar_instance.walk("VEVENT")[0]["SUMMARY"]) for e in events)
check("Team meeting at 10" in summaries and "Call the supplier" in summaries, "events listed: %s" % summaries)
check(len(events) == len(feed_events), "as many resources as feed events")
for event in events:
    parsed_events(event.data)

start = datetime.datetime.combine(datetime.date.today(), datetime.time(0, 0))
found = office.date_search(start, start + datetime.timedelta(days=1))
check(len(found) == 2, "time-range query of today: %d events" % len(found))

# A sync after an edit through the protocol gives the change.
synced = office.objects_by_sync_token(load_objects=True)
token = synced.sync_token
subprocess.run([client_program, "--port", protocol_port, "title", today, "Edited by Anna"],
               check=True, stdout=subprocess.DEVNULL)
changes = office.objects_by_sync_token(sync_token=token, load_objects=True)
changed = [str(o.icalendar_instance.walk("VEVENT")[0]["SUMMARY"]) for o in changes]
check(changed == ["Edited by Anna"], "the sync after an edit: %s" % changed)
check(changes.sync_token != token, "a new sync token")
refreshed = stranger.get("%s/feeds/%s.ics" % (base, feed_key),
                         headers={"If-None-Match": feed.headers["ETag"]})
check(refreshed.status_code == 200 and b"Edited by Anna" in refreshed.content, "the feed after an edit")

# Writing is refused and changes nothing.
put = client.session.put(base + "/dav/Office/new.ics", data="BEGIN:VCALENDAR\r\nEND:VCALENDAR\r\n")
check(put.status_code == 403, "PUT refused: %d" % put.status_code)
check(len(office.events()) == len(events), "nothing added")

print("%d failures" % len(failures))
sys.exit(len(failures))
