' Bad input through late binding, in a process of its own: a text where an Integer goes, too few
' arguments, Nothing for the list, an unregistered class. Each answers the dispatch failure (the
' script runtime words it), never a crash.
Option Explicit

Dim m, cdata, msg, ok, item

Function Truth(ok)
  If ok Then Truth = "True" Else Truth = "False"
End Function

Set m = CreateObject("VANTO.clsMachine")
Set cdata = CreateObject("VantoHost.Collection")
' Bad arguments: a text where an Integer goes, too few arguments, Nothing for the list.
On Error Resume Next
msg = ""
Err.Clear
ok = m.IMachine_DownloadCarddata(True, "", "abc", 1, cdata, msg)
WScript.Echo "bad argument " & Hex(Err.Number) & " [" & Err.Description & "]"
Err.Clear
ok = m.IMachine_delCardData(True, "", 1)
WScript.Echo "too few " & Hex(Err.Number) & " [" & Err.Description & "]"
Err.Clear
msg = ""
ok = m.IMachine_DownloadCarddata(True, "", 1, 1, Nothing, msg)
WScript.Echo "nothing " & Hex(Err.Number) & " " & Truth(ok) & " [" & msg & "]"
Err.Clear
Set item = CreateObject("VANTO.NoSuchClass")
WScript.Echo "unregistered " & Hex(Err.Number)
On Error GoTo 0
WScript.Echo "done"
