' A missing terminal and bad input through late binding, one case per process (the case named by
' the first argument): a terminal that is not there, a text where an Integer goes, too few
' arguments, Nothing for the list, an unregistered class. Each answers its failure (the script
' runtime words the dispatch ones).
Option Explicit

Dim m, cdata, msg, ok, item, which

Function Truth(ok)
  If ok Then Truth = "True" Else Truth = "False"
End Function

which = WScript.Arguments(0)
Set m = CreateObject("VANTO.clsMachine")
Set cdata = CreateObject("VantoHost.Collection")
msg = ""
On Error Resume Next
Select Case which
  Case "missing"
    ok = m.IMachine_DownloadCarddata(True, "", 1, 9, cdata, msg)
    WScript.Echo "DownloadCarddata missing " & Truth(ok) & " [" & msg & "]"
  Case "bad"
    ok = m.IMachine_DownloadCarddata(True, "", "abc", 1, cdata, msg)
    WScript.Echo "bad argument " & Hex(Err.Number) & " [" & Err.Description & "]"
  Case "few"
    ok = m.IMachine_delCardData(True, "", 1)
    WScript.Echo "too few " & Hex(Err.Number) & " [" & Err.Description & "]"
  Case "nothing"
    ok = m.IMachine_DownloadCarddata(True, "", 1, 1, Nothing, msg)
    WScript.Echo "nothing " & Hex(Err.Number) & " " & Truth(ok) & " [" & msg & "]"
  Case "unregistered"
    Set item = CreateObject("VANTO.NoSuchClass")
    WScript.Echo "unregistered " & Hex(Err.Number)
End Select
